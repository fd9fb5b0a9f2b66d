#include "update_processes.h"

#include "process_snapshot.h"

#include <QFile>

namespace UpdateProcesses {

RunningProcesses running(const QString &executableFileName)
{
    RunningProcesses result;
    result.windowsError = visitProcessSnapshot([&](const ProcessSnapshotEntry &entry) {
#ifdef _WIN32
        const QString fileName = QString::fromStdWString(entry.fileName);
#else
        const QString fileName = QFile::decodeName(QByteArray::fromStdString(entry.fileName));
#endif
        if (QString::compare(fileName, executableFileName, Qt::CaseInsensitive) == 0)
            result.processIds.append(QString::number(entry.processId));
    });
    return result;
}

} // namespace UpdateProcesses
