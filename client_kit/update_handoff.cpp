#include "update_handoff.h"

#include "atomic_replacement.h"
#include "private_directory.h"
#include "shared_file_read.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

// Handoff records are short; a failure message with a restore error is a few hundred bytes.
constexpr qint64 MaximumRecordSize = 1048576;

const QByteArray ReadyRecord = QByteArrayLiteral("ready");
const QByteArray ContinueRecord = QByteArrayLiteral("continue");
const QByteArray ErrorPrefix = QByteArrayLiteral("error\n");

constexpr QFileDevice::Permissions OwnerFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// The read lets the helper replace the file meanwhile (see SharedFileRead).
bool readRecord(const QString &filePath, QByteArray &record)
{
    return SharedFileRead::read(filePath, MaximumRecordSize, record);
}

// The helper reads this file every 100 ms; on Windows a replacement that lands during a read
// fails, and is tried again for up to two seconds.
bool writeRecord(const QString &filePath, const QByteArray &record)
{
    return AtomicReplacement::replaceContents(filePath, record);
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
    const QString base = directory.isEmpty() ? PrivateDirectory::defaultPath() : directory;
    if (base.isEmpty() || !PrivateDirectory::make(base))
        return QString();

    // One file per installation, so that two installations of the client never share records.
    const QString path = QDir(base).filePath(QLatin1String("handoff-")
                                             + PrivateDirectory::installationKey(applicationPath));

    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly, OwnerFile))
        return path;
    return QFileInfo(path).isFile() ? path : QString();
}

} // namespace UpdateHandoff
