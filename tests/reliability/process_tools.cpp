#include "process_tools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <signal.h>

namespace {

// The fields after the command name, which may itself hold spaces and parentheses.
QList<QByteArray> statusFields(qint64 processId)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(processId));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = file.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end < 0 ? QList<QByteArray>() : line.mid(end + 2).split(' ');
}

} // namespace

namespace ProcessTools {

QList<qint64> children(qint64 processId)
{
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isNumber = false;
        const qint64 candidate = entry.toLongLong(&isNumber);
        if (!isNumber)
            continue;
        const QList<QByteArray> fields = statusFields(candidate);
        if (fields.size() > 1 && fields.at(1).toLongLong() == processId)
            found.append(candidate);
    }
    return found;
}

bool hasEnded(qint64 processId)
{
    const QList<QByteArray> fields = statusFields(processId);
    return fields.isEmpty() || fields.constFirst() == "Z" || fields.constFirst() == "X";
}

QString executableName(qint64 processId)
{
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(processId)))
            .fileName();
}

qint64 peakMemoryKiB(qint64 processId)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(processId));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

void killIfRunning(qint64 processId, const QString &executableFileName)
{
    if (processId > 0 && !hasEnded(processId) && executableName(processId) == executableFileName)
        ::kill(pid_t(processId), SIGKILL);
}

} // namespace ProcessTools
