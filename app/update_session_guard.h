#pragma once

#include <QString>

#include <memory>

class QWidget;

// Holds the end of the user's session off while the installation is being changed, so that a
// shutdown or log-off does not kill the helper between the backup and a consistent installation.
//
// On Windows the end-of-session query is refused and Windows is given the reason to show on its
// shutdown screen, registered on the given window. On Linux nothing is held: the one way to
// delay a shutdown there is a logind inhibitor lock, which is taken over D-Bus, and the helper
// links no D-Bus library (its Windows build has none). An interruption is recovered from on the
// next start either way.
class UpdateSessionGuard
{
public:
    explicit UpdateSessionGuard(QWidget *window);
    ~UpdateSessionGuard();

    UpdateSessionGuard(const UpdateSessionGuard &) = delete;
    UpdateSessionGuard &operator=(const UpdateSessionGuard &) = delete;

    // Starts refusing with `reason` (a user-facing text); a second call changes nothing.
    void hold(const QString &reason);
    // Stops refusing; nothing happens when nothing is held.
    void release();

private:
    class Refusal;

    // The window, the refusal and the state are used on Windows only.
    [[maybe_unused]] QWidget *window;
    std::unique_ptr<Refusal> refusal;
    [[maybe_unused]] bool held = false;
};
