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

QByteArray changeStamp(const QString &path)
{
    // Attributes only: a file that is running or held open still tells them.
    const HANDLE file = CreateFileW(WindowsPath::native(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return QByteArray();
    BY_HANDLE_FILE_INFORMATION identity;
    FILE_BASIC_INFO times;
    const bool known = GetFileInformationByHandle(file, &identity)
            && GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof(times))
            && !(identity.dwFileAttributes
                 & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    CloseHandle(file);
    if (!known)
        return QByteArray();
    const auto joined = [](DWORD high, DWORD low) { return (quint64(high) << 32) | low; };
    return QByteArray::number(quint64(identity.dwVolumeSerialNumber)) + ':'
            + QByteArray::number(joined(identity.nFileIndexHigh, identity.nFileIndexLow)) + ':'
            + QByteArray::number(joined(identity.nFileSizeHigh, identity.nFileSizeLow)) + ':'
            + QByteArray::number(qint64(times.LastWriteTime.QuadPart)) + ':'
            + QByteArray::number(qint64(times.ChangeTime.QuadPart));
}

} // namespace FileSync
