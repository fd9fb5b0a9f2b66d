#include "update_journal.h"

#include "atomic_replacement.h"
#include "directory_sync.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>

namespace {

// 1: the installation, its backup and the saved files. 2: the interrupted run's options too.
constexpr int FormatVersion = 2;
const QLatin1String BaseNamePrefix("Kestrova-update-");
constexpr qsizetype ShortKeySize = 32;
// Far above the record of any real installation (some 100 bytes a file), low enough that a file
// planted at the path cannot make the helper read gigabytes.
constexpr qint64 MaximumRecordSize = 256 * 1024 * 1024;

QString installationKey(const QString &applicationPath)
{
    QFileInfo existing(QDir::cleanPath(QFileInfo(applicationPath).absoluteFilePath()));
    QString rest;
    // A path that is still relative (empty, or with no current directory left to make it
    // absolute) has no root to stop at; it names no installation that could have a record.
    while (!existing.exists() && !existing.isRoot() && existing.isAbsolute()) {
        rest = QLatin1Char('/') + existing.fileName() + rest;
        existing = QFileInfo(existing.absolutePath());
    }
    QString key = existing.canonicalFilePath();
    if (key.endsWith(QLatin1Char('/'))) // a root
        key.chop(1);
    return (key + rest).toCaseFolded();
}

QString inTemporaryDirectory(const QString &baseName, QLatin1String suffix)
{
    return QDir(QDir::tempPath()).filePath(baseName + suffix);
}

bool isStringList(const QJsonValue &value)
{
    if (!value.isArray())
        return false;
    const QJsonArray array = value.toArray();
    return std::all_of(array.begin(), array.end(),
                       [](const QJsonValue &item) { return item.isString(); });
}

} // namespace

namespace UpdateJournal {

QString baseName(const QString &applicationPath)
{
    const QByteArray digest = QCryptographicHash::hash(installationKey(applicationPath).toUtf8(),
                                                       QCryptographicHash::Sha256);
    return BaseNamePrefix + QString::fromLatin1(digest.toHex());
}

QString lockFilePath(const QString &applicationPath)
{
    return lockFilePathOf(baseName(applicationPath));
}

QString filePath(const QString &applicationPath)
{
    return filePathOf(baseName(applicationPath));
}

QString lockFilePathOf(const QString &baseName)
{
    return inTemporaryDirectory(baseName, QLatin1String(".lock"));
}

QString filePathOf(const QString &baseName)
{
    return inTemporaryDirectory(baseName, QLatin1String(".journal"));
}

QString shortKey(const QString &baseName)
{
    return baseName.mid(BaseNamePrefix.size(), ShortKeySize);
}

bool isShortKey(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^[0-9a-f]{32}$"));
    return form.match(text).hasMatch();
}

QString baseNameOf(const QString &shortKey, const QStringList &names)
{
    static const QRegularExpression whole(QStringLiteral("^Kestrova-update-[0-9a-f]{64}$"));
    if (!isShortKey(shortKey))
        return QString();
    const QString prefix = BaseNamePrefix + shortKey;
    QStringList candidates = names;
    // The lock too: a helper at work may hold it before it has written a record.
    const QStringList files = QDir(QDir::tempPath())
                                      .entryList({prefix + QLatin1String("*.lock"),
                                                  prefix + QLatin1String("*.journal")},
                                                 QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &file : files)
        candidates.append(file.left(file.lastIndexOf(QLatin1Char('.'))));
    QStringList found;
    for (const QString &candidate : std::as_const(candidates)) {
        if (candidate.startsWith(prefix) && whole.match(candidate).hasMatch()
            && !found.contains(candidate))
            found.append(candidate);
    }
    return found.size() == 1 ? found.constFirst() : QString();
}

bool write(const QString &path, const Record &record)
{
    QJsonArray files;
    for (const SavedFile &file : record.files) {
        files.append(QJsonObject {{QStringLiteral("path"), file.path},
                                  {QStringLiteral("size"), double(file.size)}});
    }
    const QJsonObject object {
            {QStringLiteral("format"), FormatVersion},
            {QStringLiteral("installation"), record.installationDirectory},
            {QStringLiteral("backup"), record.backupDirectory},
            {QStringLiteral("files"), files},
            {QStringLiteral("application"), record.applicationPath},
            {QStringLiteral("arguments"), QJsonArray::fromStringList(record.applicationArguments)},
            {QStringLiteral("maintenanceTool"), record.maintenanceToolPath},
            {QStringLiteral("repository"), record.repositoryUrl},
            {QStringLiteral("expectedVersion"), record.expectedVersion}};

    // A save file writes through a link; whatever odd entry stands at the path goes first.
    const QFileInfo existing(path);
    if ((existing.isSymLink() || (existing.exists() && !existing.isFile())) && !QFile::remove(path))
        return false;

    // QSaveFile syncs the new file before it moves it into place. The record holds the client's
    // arguments: in a temporary directory shared with other users (/tmp), it is for the owner's
    // eyes only.
    const QByteArray content = QJsonDocument(object).toJson();
    return AtomicReplacement::replace(path, QIODevice::WriteOnly,
                                      [&content](QSaveFile &file) {
                                          return file.setPermissions(QFileDevice::ReadOwner
                                                                     | QFileDevice::WriteOwner)
                                                  && file.write(content) == content.size();
                                      })
            && DirectorySync::sync(existing.absolutePath());
}

ReadResult read(const QString &path, Record &record)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return ReadResult::Missing;
    if (info.isSymLink() || !info.isFile() || info.size() > MaximumRecordSize)
        return ReadResult::Damaged;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ReadResult::Damaged;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(MaximumRecordSize));
    const QJsonObject object = document.object();
    const int format = object.value(QStringLiteral("format")).toInt();
    if (format < 1 || format > FormatVersion)
        return ReadResult::Damaged;

    Record result;
    result.installationDirectory = object.value(QStringLiteral("installation")).toString();
    result.backupDirectory = object.value(QStringLiteral("backup")).toString();
    if (result.installationDirectory.isEmpty() || result.backupDirectory.isEmpty())
        return ReadResult::Damaged;
    if (format >= 2) {
        const QJsonValue arguments = object.value(QStringLiteral("arguments"));
        result.applicationPath = object.value(QStringLiteral("application")).toString();
        if (result.applicationPath.isEmpty() || !isStringList(arguments))
            return ReadResult::Damaged;
        result.applicationArguments = arguments.toVariant().toStringList();
        result.maintenanceToolPath = object.value(QStringLiteral("maintenanceTool")).toString();
        result.repositoryUrl = object.value(QStringLiteral("repository")).toString();
        result.expectedVersion = object.value(QStringLiteral("expectedVersion")).toString();
    }
    const QJsonArray files = object.value(QStringLiteral("files")).toArray();
    for (const QJsonValue &value : files) {
        const QJsonObject entry = value.toObject();
        SavedFile saved {entry.value(QStringLiteral("path")).toString(),
                         qint64(entry.value(QStringLiteral("size")).toDouble(-1))};
        // A saved path never leaves the installation: the restore writes to it.
        if (saved.path.isEmpty() || saved.size < 0 || QDir::isAbsolutePath(saved.path)
            || QDir::cleanPath(saved.path) != saved.path
            || saved.path.startsWith(QLatin1String("../")) || saved.path == QLatin1String(".."))
            return ReadResult::Damaged;
        result.files.append(saved);
    }
    record = result;
    return ReadResult::Read;
}

bool backupIsWhole(const Record &record)
{
    const QFileInfo backup(record.backupDirectory);
    if (backup.isSymLink() || !backup.isDir())
        return false;
    const QDir directory(record.backupDirectory);
    for (const SavedFile &file : record.files) {
        const QFileInfo saved(directory.filePath(file.path));
        if (saved.isSymLink() || !saved.isFile() || saved.size() != file.size)
            return false;
    }
    return true;
}

bool remove(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    return QFile::remove(path) && DirectorySync::sync(info.absolutePath());
}

} // namespace UpdateJournal
