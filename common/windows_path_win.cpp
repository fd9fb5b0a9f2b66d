#include "windows_path.h"

#include <QDir>
#include <QFileInfo>

#include <qt_windows.h>

namespace WindowsPath {

std::wstring native(const QString &path)
{
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (native.size() >= MAX_PATH && !native.startsWith(QStringLiteral("\\\\?\\"))) {
        native = native.startsWith(QStringLiteral("\\\\"))
                ? QStringLiteral("\\\\?\\UNC\\") + native.mid(2)
                : QStringLiteral("\\\\?\\") + native;
    }
    return native.toStdWString();
}

} // namespace WindowsPath
