#include "shared_file_read.h"

#include "windows_path.h"

#include <qt_windows.h>

namespace SharedFileRead {

bool read(const QString &path, qint64 maxSize, QByteArray &content)
{
    const HANDLE file = CreateFileW(WindowsPath::native(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;

    constexpr qint64 Step = 65536;
    QByteArray bytes;
    bool ok = true;
    while (bytes.size() < maxSize) {
        const qsizetype start = bytes.size();
        const DWORD wanted = DWORD(qMin(Step, maxSize - start));
        bytes.resize(start + qsizetype(wanted));
        DWORD read = 0;
        if (!ReadFile(file, bytes.data() + start, wanted, &read, nullptr)) {
            ok = false;
            break;
        }
        bytes.resize(start + qsizetype(read));
        if (read == 0)
            break;
    }
    CloseHandle(file);
    if (ok)
        content = bytes;
    return ok;
}

} // namespace SharedFileRead
