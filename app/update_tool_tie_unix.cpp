#include "update_tool_tie.h"

#include <QProcess>

#ifdef Q_OS_LINUX
#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>
#endif

UpdateToolTie::UpdateToolTie() = default;

UpdateToolTie::~UpdateToolTie() = default;

void UpdateToolTie::prepare(QProcess &process)
{
#ifdef Q_OS_LINUX
    const pid_t helper = getpid();
    // Runs in the child between fork and exec: system calls only. A helper that died before the
    // request was made is not waited for; its child ends at once.
    process.setChildProcessModifier([helper] {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != helper)
            _exit(127);
    });
#else
    Q_UNUSED(process);
#endif
}

void UpdateToolTie::attach(const QProcess &) { }
