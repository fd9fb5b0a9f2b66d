#include "update_logon_entry.h"

#include <QDir>
#include <QSettings>

namespace {

const QLatin1String EntryPrefix("Kestrova-update-");

QString runOnceKey()
{
    return QStringLiteral(
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
}

// One argument as CommandLineToArgvW reads it back (the way Qt's entry point splits the command
// line): in double quotes, a quote inside escaped with a backslash, and the backslashes before a
// quote (or before the closing one) doubled.
QString quotedArgument(const QString &argument)
{
    QString quoted = QStringLiteral("\"");
    qsizetype backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        if (c == QLatin1Char('"'))
            quoted += QString(backslashes * 2 + 1, QLatin1Char('\\'));
        else
            quoted += QString(backslashes, QLatin1Char('\\'));
        quoted += c;
        backslashes = 0;
    }
    return quoted + QString(backslashes * 2, QLatin1Char('\\')) + QLatin1Char('"');
}

} // namespace

namespace UpdateLogonEntry {

bool write(const QString &name, const QString &program, const QStringList &arguments)
{
    // The program name is taken up to the next quote, without escapes; a Windows path holds none.
    QStringList command = {QLatin1Char('"') + QDir::toNativeSeparators(program) + QLatin1Char('"')};
    for (const QString &argument : arguments)
        command.append(quotedArgument(argument));
    QSettings runOnce(runOnceKey(), QSettings::NativeFormat);
    runOnce.setValue(name, command.join(QLatin1Char(' ')));
    runOnce.sync();
    return runOnce.status() == QSettings::NoError;
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

QStringList programs()
{
    QStringList found;
    const QSettings runOnce(runOnceKey(), QSettings::NativeFormat);
    const QStringList names = runOnce.childKeys();
    for (const QString &name : names) {
        if (!name.startsWith(EntryPrefix, Qt::CaseInsensitive))
            continue;
        const QString command = runOnce.value(name).toString();
        if (command.startsWith(QLatin1Char('"')))
            found.append(QDir::fromNativeSeparators(command.section(QLatin1Char('"'), 1, 1)));
    }
    return found;
}

} // namespace UpdateLogonEntry
