#include "update_elevation.h"

#include "windows_path.h"

#include <QDir>
#include <QStringList>
#include <QWidget>

#include <qt_windows.h>
#include <sddl.h>
#include <shellapi.h>

bool UpdateElevation::launchElevated(const QString &program, const QStringList &arguments,
                                     const QString &directory, QWidget *window, qintptr &process,
                                     QString &error)
{
    QStringList quoted;
    for (const QString &argument : arguments)
        quoted.append(WindowsPath::quotedArgument(argument));
    const std::wstring file = QDir::toNativeSeparators(program).toStdWString();
    const std::wstring parameters = quoted.join(QLatin1Char(' ')).toStdWString();
    const std::wstring folder = QDir::toNativeSeparators(directory).toStdWString();
    SHELLEXECUTEINFOW info {};
    info.cbSize = sizeof(info);
    // The process handle, to see the relay end; no box of the shell's own when the start fails.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    // The prompt belongs to the dialog that says why it comes.
    info.hwnd = window ? reinterpret_cast<HWND>(window->winId()) : nullptr;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = folder.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) {
        const DWORD code = GetLastError();
        error = code == ERROR_CANCELLED
                ? QStringLiteral("the prompt was refused")
                : QStringLiteral("ShellExecuteExW failed (Windows error %1)").arg(code);
        return false;
    }
    if (!info.hProcess) {
        error = QStringLiteral("Windows started no process");
        return false;
    }
    process = reinterpret_cast<qintptr>(info.hProcess);
    return true;
}

bool UpdateElevation::processEnded(qintptr process, int &exitCode)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(process);
    DWORD code = 0;
    if (!handle || WaitForSingleObject(handle, 0) != WAIT_OBJECT_0
        || !GetExitCodeProcess(handle, &code))
        return !handle;
    exitCode = int(code);
    return true;
}

void UpdateElevation::closeProcess(qintptr process)
{
    if (process)
        CloseHandle(reinterpret_cast<HANDLE>(process));
}

// Made for administrators and the system alone, which users may read: the unelevated helper reads
// the state and the log there. Its parent, Program Files, lets no user add to it, so a folder
// found there was made by an administrator.
bool UpdateElevation::makeElevatedDirectory(const QString &path, QString &error)
{
    const std::wstring native = WindowsPath::native(path);
    DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        SECURITY_ATTRIBUTES security {sizeof(security), nullptr, FALSE};
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                    L"O:BAG:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
                    SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr)) {
            error = QStringLiteral("no security descriptor (Windows error %1)").arg(GetLastError());
            return false;
        }
        const bool made = CreateDirectoryW(native.c_str(), &security)
                || GetLastError() == ERROR_ALREADY_EXISTS;
        LocalFree(security.lpSecurityDescriptor);
        if (!made) {
            error = QStringLiteral("cannot make %1 (Windows error %2)")
                            .arg(path)
                            .arg(GetLastError());
            return false;
        }
        attributes = GetFileAttributesW(native.c_str());
    }
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)
        || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = QStringLiteral("not a folder of its own: ") + path;
        return false;
    }
    return true;
}

void UpdateElevation::enterElevatedDirectory(const QString &path)
{
    // GetTempPathW, which QDir::tempPath() and the maintenance tool ask, reads TMP first, then
    // TEMP, from the process's environment, which its children inherit.
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    SetEnvironmentVariableW(L"TMP", native.c_str());
    SetEnvironmentVariableW(L"TEMP", native.c_str());
    qputenv("TMP", path.toLocal8Bit());
    qputenv("TEMP", path.toLocal8Bit());
}

// A drive and a path on it, with "/" separators: no share (\\server\...), no device path
// (\\?\...), and no colon but the drive's (an alternate data stream).
bool UpdateElevation::isLocalPath(const QString &path)
{
    return path.size() >= 3 && path.at(0).isLetter() && path.at(0).unicode() < 0x80
            && path.at(1) == QLatin1Char(':') && path.at(2) == QLatin1Char('/')
            && path.indexOf(QLatin1Char(':'), 2) < 0 && !path.contains(QLatin1Char('\\'));
}
