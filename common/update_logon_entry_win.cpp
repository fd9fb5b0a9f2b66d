#include "update_logon_entry.h"

#include "windows_path.h"

#include <QDir>
#include <QSettings>

#include <qt_windows.h>

#include <vector>

namespace {

const QLatin1String EntryPrefix("Kestrova-update-");

QString runOnceKey()
{
    return QStringLiteral(
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
}

QString commandLine(const QString &program, const QStringList &arguments)
{
    // The program name is taken up to the next quote, without escapes; a Windows path holds none.
    QStringList command = {QLatin1Char('"') + QDir::toNativeSeparators(program) + QLatin1Char('"')};
    for (const QString &argument : arguments)
        command.append(WindowsPath::quotedArgument(argument));
    return command.join(QLatin1Char(' '));
}

// The path with each folder and file named by its 8.3 short name where it has one; the path
// itself when Windows gives none.
QString shortPath(const QString &path)
{
    const std::wstring longPath = QDir::toNativeSeparators(path).toStdWString();
    const DWORD size = GetShortPathNameW(longPath.c_str(), nullptr, 0);
    std::vector<wchar_t> buffer(size + 1);
    const DWORD written = size == 0 ? 0 : GetShortPathNameW(longPath.c_str(), buffer.data(), size);
    return written == 0 || written >= size ? path : QString::fromWCharArray(buffer.data(), written);
}

} // namespace

namespace UpdateLogonEntry {

bool write(const QString &name, const QString &program, const QStringList &arguments,
           QString &error)
{
    QString command = commandLine(program, arguments);
    if (command.size() > MaximumWindowsCommandLength)
        command = commandLine(shortPath(program), arguments);
    if (command.size() > MaximumWindowsCommandLength) {
        error = QStringLiteral("its command would be %1 characters; one that Windows runs at logon "
                               "must stay under %2")
                        .arg(command.size())
                        .arg(MaximumWindowsCommandLength + 1);
        return false;
    }
    QSettings runOnce(runOnceKey(), QSettings::NativeFormat);
    runOnce.setValue(name, command);
    runOnce.sync();
    if (runOnce.status() == QSettings::NoError)
        return true;
    error = QStringLiteral("the RunOnce value could not be written");
    return false;
}

bool remove(const QString &name)
{
    QSettings runOnce(runOnceKey(), QSettings::NativeFormat);
    runOnce.remove(name);
    runOnce.sync();
    return runOnce.status() == QSettings::NoError && !runOnce.contains(name);
}

bool exists(const QString &name)
{
    return QSettings(runOnceKey(), QSettings::NativeFormat).contains(name);
}

QStringList names()
{
    QStringList found = QSettings(runOnceKey(), QSettings::NativeFormat).childKeys();
    found.removeIf(
            [](const QString &name) { return !name.startsWith(EntryPrefix, Qt::CaseInsensitive); });
    return found;
}

QStringList programs()
{
    QStringList found;
    const QSettings runOnce(runOnceKey(), QSettings::NativeFormat);
    for (const QString &name : names()) {
        const QString command = runOnce.value(name).toString();
        if (command.startsWith(QLatin1Char('"')))
            found.append(QDir::fromNativeSeparators(command.section(QLatin1Char('"'), 1, 1)));
    }
    return found;
}

} // namespace UpdateLogonEntry
