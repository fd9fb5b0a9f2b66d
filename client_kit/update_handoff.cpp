#include "update_handoff.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

namespace {

// Handoff records are short; a failure message with a restore error is a few hundred bytes.
constexpr qint64 MaximumRecordSize = 1048576;

const QByteArray ReadyRecord = QByteArrayLiteral("ready");
const QByteArray ContinueRecord = QByteArrayLiteral("continue");
const QByteArray ErrorPrefix = QByteArrayLiteral("error\n");

constexpr QFileDevice::Permissions OwnerFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions OwnerDirectory = OwnerFile | QFileDevice::ExeOwner;

bool readRecord(const QString &filePath, QByteArray &record)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    record = file.read(MaximumRecordSize);
    return true;
}

bool writeRecord(const QString &filePath, const QByteArray &record)
{
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(record) != record.size())
        return false;
    return file.commit();
}

bool makePrivateDirectory(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    if (info.exists() || info.isSymLink())
        return false;
    QDir parent = info.dir();
    if (!parent.mkpath(QStringLiteral(".")))
        return false;
    // Created with its permissions in one step; a concurrent creator is as good as ours.
    return parent.mkdir(info.fileName(), OwnerDirectory) || QFileInfo(path).isDir();
}

} // namespace

namespace UpdateHandoff {

HandoffResult answerOnce(const QString &filePath)
{
    HandoffResult result;
    QByteArray record;
    if (!readRecord(filePath, record))
        return result;

    if (record.startsWith(ErrorPrefix)) {
        result.outcome = HandoffOutcome::HelperFailed;
        result.errorMessage = QString::fromUtf8(record.mid(ErrorPrefix.size()));
    } else if (record == ReadyRecord) {
        result.outcome = writeRecord(filePath, ContinueRecord) ? HandoffOutcome::Confirmed
                                                               : HandoffOutcome::WriteFailed;
    }
    return result;
}

HandoffResult answer(const QString &filePath, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const HandoffResult result = answerOnce(filePath);
        if (result.outcome != HandoffOutcome::Pending)
            return result;
        if (deadline.hasExpired())
            return {HandoffOutcome::TimedOut, QString()};
        QThread::msleep(
                ulong(qMin<qint64>(PollInterval, qMax<qint64>(deadline.remainingTime(), 1))));
    }
}

bool readError(const QString &filePath, QString &message)
{
    QByteArray record;
    if (!readRecord(filePath, record) || !record.startsWith(ErrorPrefix))
        return false;
    message = QString::fromUtf8(record.mid(ErrorPrefix.size()));
    return true;
}

bool clear(const QString &filePath)
{
    if (!QFileInfo::exists(filePath) && !QFileInfo(filePath).isSymLink())
        return true;
    return writeRecord(filePath, QByteArray());
}

QString privateFilePath(const QString &applicationPath, const QString &directory)
{
    QString base = directory;
    if (base.isEmpty()) {
        const QString dataLocation
                = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        if (dataLocation.isEmpty())
            return QString();
        base = QDir(dataLocation).filePath(QStringLiteral("update"));
    }
    if (!makePrivateDirectory(base))
        return QString();

    // One file per installation, so that two installations of the client never share records.
    QString key = QFileInfo(applicationPath).canonicalFilePath();
    if (key.isEmpty())
        key = QFileInfo(applicationPath).absoluteFilePath();
    const QByteArray digest
            = QCryptographicHash::hash(key.toCaseFolded().toUtf8(), QCryptographicHash::Sha256);
    const QString path = QDir(base).filePath(QLatin1String("handoff-")
                                             + QString::fromLatin1(digest.toHex().left(16)));

    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly, OwnerFile))
        return path;
    return QFileInfo(path).isFile() ? path : QString();
}

} // namespace UpdateHandoff
