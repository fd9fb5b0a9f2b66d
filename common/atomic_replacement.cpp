#include "atomic_replacement.h"

#include <QDeadlineTimer>
#include <QSaveFile>
#include <QThread>

namespace AtomicReplacement {

bool replace(const QString &path, QIODevice::OpenMode mode,
             const std::function<bool(QSaveFile &)> &write)
{
    QDeadlineTimer deadline(QDeadlineTimer::Forever);
    for (;;) {
        QSaveFile file(path);
        if (!file.open(mode) || !write(file))
            return false;
        if (file.commit())
            return true;
        // A failed write or sync shows as another error; only the move is worth another try.
        if (file.error() != QFileDevice::RenameError)
            return false;
        if (deadline.isForever())
            deadline.setRemainingTime(RetryTimeLimit);
        if (deadline.hasExpired())
            return false;
        QThread::msleep(ulong(qBound(qint64(1), deadline.remainingTime(), qint64(RetryInterval))));
    }
}

bool replaceContents(const QString &path, const QByteArray &content)
{
    return replace(path, QIODevice::WriteOnly,
                   [&content](QSaveFile &file) { return file.write(content) == content.size(); });
}

} // namespace AtomicReplacement
