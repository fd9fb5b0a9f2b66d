#include "shared_file_read.h"

#include <QDir>
#include <QFileInfo>

#include <qt_windows.h>

#include <string>

namespace {

// The path as CreateFileW wants it; past MAX_PATH characters only in its "\\?\" form, which Qt's
// own file functions use too.
std::wstring nativePath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (native.size() >= MAX_PATH && !native.startsWith(QStringLiteral("\\\\?\\"))) {
        native = native.startsWith(QStringLiteral("\\\\"))
                ? QStringLiteral("\\\\?\\UNC\\") + native.mid(2)
                : QStringLiteral("\\\\?\\") + native;
    }
    return native.toStdWString();
}

} // namespace

namespace SharedFileRead {

bool read(const QString &path, qint64 maxSize, QByteArray &content)
{
    const HANDLE file = CreateFileW(nativePath(path).c_str(), GENERIC_READ,
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
