#include "sample_installation.h"

#include "test_files.h"

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

} // namespace

SampleInstallation::SampleInstallation(const QString &base, const QString &clientFileName)
    : base(base), profile(base + QStringLiteral("/Users/Пётр Иванов")),
      directory(base + QStringLiteral("/Corvane")),
      clientPath(directory + QLatin1Char('/') + clientFileName),
      repository(base + QStringLiteral("/repository")), handoff(base + QStringLiteral("/handoff")),
      launchRecord(base + QStringLiteral("/launches.jsonl")),
      toolRecord(base + QStringLiteral("/tool-runs.txt"))
{ }

bool SampleInstallation::create(const QString &clientSource, const QString &repositoryIni,
                                QString &error)
{
    if (!QDir().mkpath(directory) || !QFile::copy(clientSource, clientPath)) {
        error = QStringLiteral("cannot copy %1 to %2").arg(clientSource, clientPath);
        return false;
    }
    oldDigests.insert(QDir(directory).relativeFilePath(clientPath), fileDigest(clientPath));
    const bool written = writeOld(QStringLiteral("components.xml"), componentsXml("1.0.0"))
            && writeOld(QStringLiteral("lib/engine.dat"), "engine 1")
            && writeOld(QStringLiteral("lib/nested/asset.bin"), QByteArray(70000, 'o'))
            && writeOld(QStringLiteral("readme.txt"), "left alone by the update")
            && writeNew(QStringLiteral("components.xml"), componentsXml("2.0.0"))
            && writeNew(QStringLiteral("lib/engine.dat"), "engine 2")
            && writeNew(QStringLiteral("lib/nested/asset.bin"), QByteArray(70000, 'n'))
            && writeNew(QStringLiteral("new-feature.dat"), "added by the update")
            && writeFile(repository + QStringLiteral("/repository.ini"),
                         "[General]\n" + repositoryIni.toUtf8() + '\n');
    if (!written)
        error = QStringLiteral("cannot write the sample files below ") + base;
    return written;
}

bool SampleInstallation::writeOld(const QString &relativePath, const QByteArray &content)
{
    oldDigests.insert(relativePath, digestOf(content));
    return writeFile(directory + QLatin1Char('/') + relativePath, content);
}

bool SampleInstallation::writeNew(const QString &relativePath, const QByteArray &content)
{
    newDigests.insert(relativePath, digestOf(content));
    // The tool installs the payload first and the repository's components.xml last.
    return writeFile(repository
                             + (relativePath == QLatin1String("components.xml")
                                        ? QStringLiteral("/")
                                        : QStringLiteral("/payload/"))
                             + relativePath,
                     content);
}

QString SampleInstallation::mismatches(Expected expected, const QStringList &ignored,
                                       const QString &copy) const
{
    QStringList found;
    const QString top = copy.isEmpty() ? directory : copy;
    for (const QString &relativePath : filesBelow(top)) {
        if (ignored.contains(relativePath))
            continue;
        const QByteArray oldDigest = oldDigests.value(relativePath);
        const QByteArray newDigest = newDigests.value(relativePath);
        QList<QByteArray> acceptable;
        if (expected != Expected::New || newDigest.isEmpty())
            acceptable += oldDigest;
        if (expected != Expected::Old || oldDigest.isEmpty())
            acceptable += newDigest;
        if (!acceptable.contains(fileDigest(top + QLatin1Char('/') + relativePath)))
            found += relativePath + QStringLiteral(": other content");
    }
    QStringList required = oldDigests.keys();
    if (expected == Expected::New)
        required += newDigests.keys();
    for (const QString &relativePath : std::as_const(required)) {
        if (!ignored.contains(relativePath)
            && !QFileInfo::exists(top + QLatin1Char('/') + relativePath))
            found += relativePath + QStringLiteral(": missing");
    }
    found.removeDuplicates();
    return found.join(QLatin1Char('\n'));
}

QStringList SampleInstallation::helperArguments(const QString &toolPath,
                                                const QStringList &extra) const
{
    return QStringList {QStringLiteral("--maintenance-tool=") + toolPath,
                        QStringLiteral("--repository=") + repository,
                        QStringLiteral("--application=") + clientPath,
                        QStringLiteral("--working-directory=") + directory}
    + extra;
}

QList<QJsonObject> SampleInstallation::launches() const
{
    QList<QJsonObject> result;
    const QList<QByteArray> lines = readFile(launchRecord).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith('{'))
            result.append(QJsonDocument::fromJson(line).object());
    }
    return result;
}

QList<QStringList> SampleInstallation::toolRuns() const
{
    QList<QStringList> runs;
    const QList<QByteArray> lines = readFile(toolRecord).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("started "))
            runs.append(QStringList());
        else if (line.startsWith("argument ") && !runs.isEmpty())
            runs.last().append(QString::fromUtf8(line.mid(9)));
    }
    return runs;
}
