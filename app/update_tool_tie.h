#pragma once

class QProcess;

// Ends the maintenance tool together with the helper, however the helper ends: closed, crashed,
// ended from the Task Manager or killed. A tool that went on alone would go on changing the
// installation while the next helper puts the interrupted update's backup back.
//
// On Windows the tool joins a job object that kills its processes when the last handle to it
// closes, which is the helper's own, at its end at the latest. On Linux the kernel sends the
// tool SIGKILL when the helper dies (PR_SET_PDEATHSIG). Elsewhere nothing is tied.
class UpdateToolTie
{
public:
    UpdateToolTie();
    // Ends a tool that still runs.
    ~UpdateToolTie();

    UpdateToolTie(const UpdateToolTie &) = delete;
    UpdateToolTie &operator=(const UpdateToolTie &) = delete;

    // Before the process is started.
    void prepare(QProcess &process);
    // Once it has started. A tool that cannot be tied runs untied, as before.
    void attach(const QProcess &process);

private:
    [[maybe_unused]] void *job = nullptr; // Windows only: the job object
};
