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

namespace {

constexpr int FormatVersion = 1;
// Far above the record of any real installation (some 100 bytes a file), low enough that a file
// planted at the path cannot make the helper read gigabytes.
constexpr qint64 MaximumRecordSize = 256 * 1024 * 1024;

QString installationKey(const QString &applicationPath)
{
    QFileInfo existing(QDir::cleanPath(QFileInfo(applicationPath).absoluteFilePath()));
    QString rest;
    while (!existing.exists() && !existing.isRoot()) {
        rest = QLatin1Char('/') + existing.fileName() + rest;
        existing = QFileInfo(existing.absolutePath());
    }
    QString key = existing.canonicalFilePath();
    if (key.endsWith(QLatin1Char('/'))) // a root
        key.chop(1);
    return (key + rest).toCaseFolded();
}

QString inTemporaryDirectory(const QString &applicationPath, QLatin1String suffix)
{
    return QDir(QDir::tempPath()).filePath(UpdateJournal::baseName(applicationPath) + suffix);
}

} // namespace

namespace UpdateJournal {

QString baseName(const QString &applicationPath)
{
    const QByteArray digest = QCryptographicHash::hash(installationKey(applicationPath).toUtf8(),
                                                       QCryptographicHash::Sha256);
    return QLatin1String("Kestrova-update-") + QString::fromLatin1(digest.toHex());
}

QString lockFilePath(const QString &applicationPath)
{
    return inTemporaryDirectory(applicationPath, QLatin1String(".lock"));
}

QString filePath(const QString &applicationPath)
{
    return inTemporaryDirectory(applicationPath, QLatin1String(".journal"));
}

bool write(const QString &path, const Record &record)
{
    QJsonArray files;
    for (const SavedFile &file : record.files) {
        files.append(QJsonObject {{QStringLiteral("path"), file.path},
                                  {QStringLiteral("size"), double(file.size)}});
    }
    const QJsonObject object {{QStringLiteral("format"), FormatVersion},
                              {QStringLiteral("installation"), record.installationDirectory},
                              {QStringLiteral("backup"), record.backupDirectory},
                              {QStringLiteral("files"), files}};

    // A save file writes through a link; whatever odd entry stands at the path goes first.
    const QFileInfo existing(path);
    if ((existing.isSymLink() || (existing.exists() && !existing.isFile())) && !QFile::remove(path))
        return false;

    // QSaveFile syncs the new file before it moves it into place.
    return AtomicReplacement::replaceContents(path, QJsonDocument(object).toJson())
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
    if (object.value(QStringLiteral("format")).toInt() != FormatVersion)
        return ReadResult::Damaged;

    Record result;
    result.installationDirectory = object.value(QStringLiteral("installation")).toString();
    result.backupDirectory = object.value(QStringLiteral("backup")).toString();
    if (result.installationDirectory.isEmpty() || result.backupDirectory.isEmpty())
        return ReadResult::Damaged;
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
