#include "update_session_guard.h"

// Nothing to hold here (see the header): the span is only tracked.
class UpdateSessionGuard::Refusal
{
};

UpdateSessionGuard::UpdateSessionGuard(QWidget *window) : window(window) { }

UpdateSessionGuard::~UpdateSessionGuard() = default;

void UpdateSessionGuard::hold(const QString &)
{
    held = true;
}

void UpdateSessionGuard::release()
{
    held = false;
}
