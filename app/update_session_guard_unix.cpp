#include "update_session_guard.h"

// Nothing to hold here (see the header).
class UpdateSessionGuard::Refusal
{
};

UpdateSessionGuard::UpdateSessionGuard(QWidget *window) : window(window) { }

UpdateSessionGuard::~UpdateSessionGuard() = default;

void UpdateSessionGuard::hold(const QString &) { }

void UpdateSessionGuard::release() { }
