#include "update_tool_tie.h"

#include <QProcess>

#ifdef Q_OS_LINUX
#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>
#endif

UpdateToolTie::UpdateToolTie(bool ownProcessGroup) : ownProcessGroup(ownProcessGroup) { }

UpdateToolTie::~UpdateToolTie() = default;

void UpdateToolTie::prepare(QProcess &process)
{
#ifdef Q_OS_LINUX
    const pid_t helper = getpid();
    const bool group = ownProcessGroup;
    // Runs in the child between fork and exec: system calls only. A helper that died before the
    // request was made is not waited for; its child ends at once.
    process.setChildProcessModifier([helper, group] {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != helper)
            _exit(127);
        if (group)
            setpgid(0, 0);
    });
#else
    Q_UNUSED(process);
#endif
}

void UpdateToolTie::attach(const QProcess &) { }

void UpdateToolTie::end(QProcess &process)
{
#ifdef Q_OS_LINUX
    // Only while the leader is not yet reaped: until then its id cannot name another group.
    if (ownProcessGroup && process.state() == QProcess::Running)
        kill(-pid_t(process.processId()), SIGKILL);
#endif
    process.kill();
}

// IFW's tool replaces itself in place here and leaves nothing running; what else it might start
// is not tracked (see the class).
bool UpdateToolTie::leftRunning() const
{
    return false;
}
