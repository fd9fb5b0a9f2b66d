#include "sample_installation.h"

#include "file_contents.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace {

QByteArray digestOf(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha256);
}

QByteArray componentsOf(const char *version)
{
    return QByteArrayLiteral("<Packages><Package><Name>com.norvatek.lumeral</Name><Version>")
            + version + QByteArrayLiteral("</Version></Package></Packages>\n");
}

// The sample tool writes one value per line with "\\", "\n" and "\r" escaped.
QString decodeRecordValue(const QByteArray &value)
{
    QByteArray decoded;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) != '\\' || i + 1 == value.size()) {
            decoded += value.at(i);
            continue;
        }
        const char escaped = value.at(++i);
        decoded += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped;
    }
    return QString::fromUtf8(decoded);
}

} // namespace

SampleInstallation::SampleInstallation(const QString &base, const QString &name)
    : base(base), tmp(base + QStringLiteral("/tmp")), directory(base + QStringLiteral("/Corvane")),
      clientPath(directory
                 + QStringLiteral("/%1-%2.exe").arg(name).arg(QCoreApplication::applicationPid())),
      repository(base + QStringLiteral("/repository")), handoff(base + QStringLiteral("/handoff")),
      launchRecord(base + QStringLiteral("/launches.jsonl")),
      toolRecord(base + QStringLiteral("/tool-runs.txt"))
{ }

bool SampleInstallation::create(const QString &repositoryIni, QString &error)
{
    if (!QDir().mkpath(tmp) || !QDir().mkpath(directory) || !QDir().mkpath(repository)) {
        error = QStringLiteral("cannot make the directories below ") + base;
        return false;
    }
    if (!QFile::copy(QStringLiteral(SAMPLE_CLIENT_PATH), clientPath)) {
        error = QStringLiteral("cannot copy the sample client to ") + clientPath;
        return false;
    }
    oldDigests.insert(QDir(directory).relativeFilePath(clientPath),
                      FileContents::digest(clientPath));

    const bool written = writeOld(QStringLiteral("components.xml"), componentsOf("1.0.0"))
            && writeOld(QStringLiteral("lib/engine.dat"), "engine 1")
            && writeOld(QStringLiteral("lib/nested/asset.bin"), QByteArray(70000, 'o'))
            && writeOld(QStringLiteral("readme.txt"), "left alone by the update")
            && writeNew(QStringLiteral("components.xml"), componentsOf("2.0.0"))
            && writeNew(QStringLiteral("lib/engine.dat"), "engine 2")
            && writeNew(QStringLiteral("lib/nested/asset.bin"), QByteArray(70000, 'n'))
            && writeNew(QStringLiteral("new-feature.dat"), "added by the update")
            && FileContents::write(repository + QStringLiteral("/repository.ini"),
                                   "[General]\n" + repositoryIni.toUtf8() + '\n');
    if (!written)
        error = QStringLiteral("cannot write the sample files below ") + base;
    return written;
}

bool SampleInstallation::writeOld(const QString &relativePath, const QByteArray &content)
{
    oldDigests.insert(relativePath, digestOf(content));
    return FileContents::write(directory + QLatin1Char('/') + relativePath, content);
}

bool SampleInstallation::writeNew(const QString &relativePath, const QByteArray &content)
{
    newDigests.insert(relativePath, digestOf(content));
    // The tool installs the payload first and the repository's components.xml last.
    const QString source = relativePath == QLatin1String("components.xml")
            ? repository + QStringLiteral("/components.xml")
            : repository + QStringLiteral("/payload/") + relativePath;
    return FileContents::write(source, content);
}

bool SampleInstallation::writeOldOfSize(const QString &relativePath, char value, qint64 size)
{
    const QString path = directory + QLatin1Char('/') + relativePath;
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray piece(1 << 20, value);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (qint64 left = size; left > 0; left -= piece.size()) {
        const QByteArray chunk = left < piece.size() ? piece.left(left) : piece;
        if (file.write(chunk) != chunk.size())
            return false;
        hash.addData(chunk);
    }
    oldDigests.insert(relativePath, hash.result());
    return true;
}

QString SampleInstallation::mismatches(Expected expected, const QStringList &ignored,
                                       const QString &copy) const
{
    QStringList found;
    const QString top = copy.isEmpty() ? directory : copy;
    const QDir root(top);
    QDirIterator it(top, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relativePath = root.relativeFilePath(it.next());
        if (ignored.contains(relativePath))
            continue;
        const QByteArray oldDigest = oldDigests.value(relativePath);
        const QByteArray newDigest = newDigests.value(relativePath);
        if (oldDigest.isEmpty() && newDigest.isEmpty()) {
            found += relativePath + QStringLiteral(": belongs to neither version");
            continue;
        }
        QList<QByteArray> acceptable;
        if (expected != Expected::New && !oldDigest.isEmpty())
            acceptable += oldDigest;
        if (expected != Expected::Old && !newDigest.isEmpty())
            acceptable += newDigest;
        if (acceptable.isEmpty())
            acceptable += oldDigest.isEmpty() ? newDigest : oldDigest;

        const QByteArray digest = FileContents::digest(it.filePath());
        if (!acceptable.contains(digest)) {
            found += relativePath
                    + (digest == oldDigest           ? QStringLiteral(": old content")
                               : digest == newDigest ? QStringLiteral(": new content")
                                                     : QStringLiteral(": neither old nor new"));
        }
    }

    QStringList required = oldDigests.keys();
    if (expected == Expected::New)
        required += newDigests.keys();
    for (const QString &relativePath : std::as_const(required)) {
        if (!ignored.contains(relativePath) && !QFileInfo::exists(root.filePath(relativePath)))
            found += relativePath + QStringLiteral(": missing");
    }
    found.removeDuplicates();
    return found.join(QLatin1Char('\n'));
}

QStringList SampleInstallation::helperArguments(const QStringList &extra) const
{
    return QStringList {QStringLiteral("--maintenance-tool=") + QStringLiteral(SAMPLE_TOOL_PATH),
                        QStringLiteral("--repository=") + repository,
                        QStringLiteral("--application=") + clientPath,
                        QStringLiteral("--working-directory=") + directory}
    + extra;
}

QProcessEnvironment SampleInstallation::environment(const QString &display,
                                                    const QString &runtimeDirectory) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("TMPDIR"), tmp);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirectory);
    environment.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), launchRecord);
    environment.insert(QStringLiteral("SAMPLE_TOOL_RECORD"), toolRecord);
    environment.remove(QStringLiteral("SAMPLE_CLIENT_HANDOFF"));
    return environment;
}

QByteArray SampleInstallation::log() const
{
    return FileContents::read(logPath());
}

QByteArray SampleInstallation::handoffRecord() const
{
    return FileContents::read(handoff);
}

QList<QJsonObject> SampleInstallation::launches() const
{
    QList<QJsonObject> result;
    const QList<QByteArray> lines = FileContents::read(launchRecord).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            result.append(QJsonDocument::fromJson(line).object());
    }
    return result;
}

QList<QStringList> SampleInstallation::toolArguments() const
{
    QList<QStringList> runs;
    const QList<QByteArray> lines = FileContents::read(toolRecord).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("started "))
            runs.append(QStringList());
        else if (line.startsWith("argument ") && !runs.isEmpty())
            runs.last().append(decodeRecordValue(line.mid(9)));
    }
    return runs;
}

int SampleInstallation::finishedToolRuns() const
{
    return int(FileContents::read(toolRecord).count("\nfinished "));
}

QStringList SampleInstallation::leftovers() const
{
    QStringList entries = QDir(tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                              | QDir::NoDotAndDotDot);
    entries.removeAll(QStringLiteral("Corvane-update.log"));
    return entries;
}
