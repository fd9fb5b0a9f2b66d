#pragma once

#include <QList>
#include <QString>

// What the reliability tests learn about processes that are not their children (the helper a
// client starts detached, the tool a killed helper leaves behind) from /proc.
namespace ProcessTools {

// The processes whose parent is processId.
QList<qint64> children(qint64 processId);
// True once the process is gone or a zombie that nobody reaps.
bool hasEnded(qint64 processId);
// The file name of the process's executable, empty when it cannot be read.
QString executableName(qint64 processId);
// The process's peak resident memory (VmHWM) in KiB, -1 when it cannot be read.
qint64 peakMemoryKiB(qint64 processId);
// SIGKILL, but only while the process still runs the executable of the given file name, so that
// a reused process id is never hit.
void killIfRunning(qint64 processId, const QString &executableFileName);

} // namespace ProcessTools
