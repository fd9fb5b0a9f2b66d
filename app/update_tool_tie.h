#pragma once

class QProcess;

// Ends a child process together with the helper, however the helper ends: closed, crashed,
// ended from the Task Manager or killed. A maintenance tool that went on alone would go on
// changing the installation while the next helper puts the interrupted update's backup back.
//
// On Windows the process joins a job object that kills its processes, and every process they
// start, when the last handle to it closes, which is the helper's own, at its end at the latest.
// On Linux the kernel sends the process SIGKILL when the helper dies (PR_SET_PDEATHSIG); what it
// starts is not reached that way. Elsewhere nothing is tied.
class UpdateToolTie
{
public:
    // ownProcessGroup: on Linux the process also leads a process group of its own, which is what
    // end() reaches there.
    explicit UpdateToolTie(bool ownProcessGroup = false);
    // Ends a process that still runs.
    ~UpdateToolTie();

    UpdateToolTie(const UpdateToolTie &) = delete;
    UpdateToolTie &operator=(const UpdateToolTie &) = delete;

    // Before the process is started.
    void prepare(QProcess &process);
    // Once it has started. A process that cannot be tied runs untied, as before.
    void attach(const QProcess &process);
    // Ends the process and what it started, as far as the tie reaches: every process of the job
    // on Windows; on Linux the process group, while its leader still runs.
    void end(QProcess &process);
    // Whether a process that the tied one started still runs, as far as the tie sees: one of
    // the job's on Windows. On Linux nothing is seen, and false is returned.
    bool leftRunning() const;

private:
    [[maybe_unused]] bool ownProcessGroup;
    [[maybe_unused]] void *job = nullptr; // Windows only: the job object
};
