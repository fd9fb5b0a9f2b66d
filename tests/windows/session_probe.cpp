// Asks, on Windows or under Wine, the helper's dialog whether the session may end, as Windows
// asks every top-level window before a log-off or shutdown: WM_QUERYENDSESSION, then
// WM_ENDSESSION saying that the session goes on after all.
//
//   SessionProbe.exe  prints "granted" or "refused"; "no window" (exit code 1) when no window is
//                     titled as the dialog, "no answer" (exit code 1) when it does not answer

#include <windows.h>

#include <cstdio>

int wmain()
{
    const HWND dialog = FindWindowW(nullptr, L"Обновление Corvane");
    if (!dialog) {
        std::puts("no window");
        return 1;
    }
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                             10000, &answer)) {
        std::puts("no answer");
        return 1;
    }
    SendMessageTimeoutW(dialog, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000,
                        nullptr);
    std::puts(answer ? "granted" : "refused");
    return 0;
}
