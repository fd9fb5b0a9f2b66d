#include "helper_copy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace HelperCopy {

// Linux, unlike Windows, lets the file of a running program be deleted, so a failed removal
// would never spare a copy in use. A copy is kept while a process runs it, as on Windows, so that
// a running helper's file stays where its process entry says it is (/proc/PID/exe would read
// "(deleted)" otherwise). Every /proc/PID/exe names the file a process was started from, which
// is exact where an age limit would have to guess how long an update, and a failure box left
// open, may last. Processes of other users cannot be read, but they never run this user's
// private copies.
bool isRunning(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return false;
    const QStringList processes
            = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &process : processes) {
        bool numeric = false;
        process.toLongLong(&numeric);
        if (numeric
            && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(process)) == canonical)
            return true;
    }
    return false;
}

} // namespace HelperCopy
