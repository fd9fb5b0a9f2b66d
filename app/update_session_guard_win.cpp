#include "update_session_guard.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QWidget>

#include <windows.h>

// Answers WM_QUERYENDSESSION with FALSE while installed.
//
// A native event filter rather than QGuiApplication::commitDataRequest and
// QSessionManager::cancel(): Qt's Windows platform runs the filters before its own handling of
// the query, for every window of the process, so the answer is ours alone. Qt's own route marks
// its session manager active on the first query and, until WM_ENDSESSION resets it, answers
// every later query with the first answer and swallows the windows' keyboard and mouse input: a
// query that is not followed by WM_ENDSESSION would leave the dialog deaf to its close button
// and the refusal in place after the release. It also exists only where Qt was built with its
// session manager.
class UpdateSessionGuard::Refusal : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override
    {
        if (eventType != "windows_generic_MSG"
            || static_cast<const MSG *>(message)->message != WM_QUERYENDSESSION)
            return false;
        *result = FALSE;
        return true;
    }
};

UpdateSessionGuard::UpdateSessionGuard(QWidget *window)
    : window(window), refusal(std::make_unique<Refusal>())
{ }

UpdateSessionGuard::~UpdateSessionGuard()
{
    release();
}

void UpdateSessionGuard::hold(const QString &reason)
{
    if (held)
        return;
    held = true;
    QCoreApplication::instance()->installNativeEventFilter(refusal.get());
    // The reason is what the shutdown screen shows beside the window's title; without one Windows
    // says only that the program is preventing the shutdown.
    ShutdownBlockReasonCreate(reinterpret_cast<HWND>(window->winId()),
                              reinterpret_cast<LPCWSTR>(reason.utf16()));
}

void UpdateSessionGuard::release()
{
    if (!held)
        return;
    held = false;
    ShutdownBlockReasonDestroy(reinterpret_cast<HWND>(window->winId()));
    if (QCoreApplication *application = QCoreApplication::instance())
        application->removeNativeEventFilter(refusal.get());
}
