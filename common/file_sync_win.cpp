#include "file_sync.h"

#include "windows_path.h"

#include <QString>

#include <qt_windows.h>

namespace FileSync {

bool flush(const QString &path)
{
    const std::wstring native = WindowsPath::native(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    // FlushFileBuffers needs a handle with write access, which a read-only file refuses.
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly && !SetFileAttributesW(native.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
        return false;
    const HANDLE file = CreateFileW(native.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool flushed = false;
    if (file != INVALID_HANDLE_VALUE) {
        flushed = FlushFileBuffers(file);
        CloseHandle(file);
    }
    if (readOnly && !SetFileAttributesW(native.c_str(), attributes))
        return false;
    return flushed;
}

QByteArray changeStamp(const QString &)
{
    return QByteArray();
}

} // namespace FileSync
