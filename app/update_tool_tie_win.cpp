#include "update_tool_tie.h"

#include <QProcess>

#include <windows.h>

UpdateToolTie::UpdateToolTie(bool ownProcessGroup) : ownProcessGroup(ownProcessGroup)
{
    HANDLE created = CreateJobObjectW(nullptr, nullptr);
    if (!created)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        CloseHandle(created);
        return;
    }
    job = created;
}

UpdateToolTie::~UpdateToolTie()
{
    if (job)
        CloseHandle(job);
}

void UpdateToolTie::prepare(QProcess &) { }

void UpdateToolTie::attach(const QProcess &process)
{
    if (!job)
        return;
    // The process handle QProcess holds keeps the id from being reused meanwhile.
    const HANDLE tool
            = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(process.processId()));
    if (!tool)
        return;
    AssignProcessToJobObject(job, tool);
    CloseHandle(tool);
}

void UpdateToolTie::end(QProcess &process)
{
    process.kill();
    if (!job || !TerminateJobObject(job, 1))
        return;
    // The job holds what the process started too. Its processes end after the call has returned,
    // and one that still runs holds files that a rollback may have to replace: up to 2 s for them.
    for (int tries = 0; tries < 100 && leftRunning(); ++tries)
        Sleep(20);
}

bool UpdateToolTie::leftRunning() const
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting {};
    return job
            && QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                         sizeof(accounting), nullptr)
            && accounting.ActiveProcesses > 0;
}
