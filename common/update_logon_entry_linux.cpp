#include "update_logon_entry.h"

#include "atomic_replacement.h"
#include "directory_sync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

namespace {

const QLatin1String EntryPrefix("Kestrova-update-");
const QLatin1String HelperKey("X-Kestrova-Helper=");

QString entryDirectory()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
            .filePath(QStringLiteral("autostart"));
}

QString entryPath(const QString &name)
{
    return QDir(entryDirectory()).filePath(name + QLatin1String(".desktop"));
}

// A value of type string: a backslash, line break, tab or carriage return is written as an
// escape sequence, so that every value stays on its line.
QString escapedValue(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('\n'), QLatin1String("\\n"))
            .replace(QLatin1Char('\t'), QLatin1String("\\t"))
            .replace(QLatin1Char('\r'), QLatin1String("\\r"));
}

QString unescapedValue(const QString &value)
{
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) != QLatin1Char('\\') || i + 1 == value.size()) {
            text += value.at(i);
            continue;
        }
        const QChar next = value.at(++i);
        text += next == QLatin1Char('n')   ? QChar(u'\n')
                : next == QLatin1Char('t') ? QChar(u'\t')
                : next == QLatin1Char('r') ? QChar(u'\r')
                : next == QLatin1Char('s') ? QChar(u' ')
                                           : next;
    }
    return text;
}

// An Exec argument (or the program), in double quotes only when it holds a reserved character:
// inside them a double quote, backquote, dollar sign and backslash take a backslash before them.
// A percent sign is doubled either way, since it would start a field code. The value's own
// escaping comes on top.
QString quotedArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool quoted = argument.isEmpty()
            || std::any_of(argument.begin(), argument.end(),
                           [](QChar c) { return reserved.contains(c); });
    QString written = quoted ? QStringLiteral("\"") : QString();
    for (const QChar c : argument) {
        if (quoted
            && (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
                || c == QLatin1Char('\\')))
            written += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            written += QLatin1Char('%');
        written += c;
    }
    return quoted ? written + QLatin1Char('"') : written;
}

} // namespace

namespace UpdateLogonEntry {

bool write(const QString &name, const QString &program, const QStringList &arguments,
           QString &error)
{
    if (program.contains(QLatin1Char('='))) {
        error = QStringLiteral("the program's path holds \"=\", which an Exec line cannot");
        return false;
    }
    QStringList command = {quotedArgument(program)};
    for (const QString &argument : arguments)
        command.append(quotedArgument(argument));
    const QString entry = QLatin1String("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Corvane update recovery\n"
                                        "Comment=Puts back a Corvane update that was cut off\n"
                                        "Exec=")
            + escapedValue(command.join(QLatin1Char(' ')))
            + QLatin1String("\nTerminal=false\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n")
            + HelperKey + escapedValue(program) + QLatin1Char('\n');
    // Synced like the record it outlives: a power cut must not keep the record and lose this.
    if (QDir().mkpath(entryDirectory())
        && AtomicReplacement::replaceContents(entryPath(name), entry.toUtf8())
        && DirectorySync::sync(entryDirectory()))
        return true;
    error = QStringLiteral("%1 could not be written").arg(entryPath(name));
    return false;
}

bool remove(const QString &name)
{
    return !exists(name)
            || (QFile::remove(entryPath(name)) && DirectorySync::sync(entryDirectory()));
}

bool exists(const QString &name)
{
    const QFileInfo info(entryPath(name));
    return info.exists() || info.isSymLink();
}

QStringList names()
{
    QStringList found = QDir(entryDirectory())
                                .entryList({EntryPrefix + QLatin1String("*.desktop")},
                                           QDir::Files | QDir::Hidden | QDir::System);
    for (QString &name : found)
        name.chop(QLatin1String(".desktop").size());
    return found;
}

QStringList programs()
{
    QStringList found;
    for (const QString &name : names()) {
        // Only files are read: a FIFO there would block the open.
        QFile entry(entryPath(name));
        if (!QFileInfo(entry).isFile() || !entry.open(QIODevice::ReadOnly))
            continue;
        // Entries are small; one of any size says nothing more past its first lines.
        const QStringList lines = QString::fromUtf8(entry.read(1 << 20)).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (line.startsWith(HelperKey))
                found.append(unescapedValue(line.mid(HelperKey.size())));
        }
    }
    return found;
}

} // namespace UpdateLogonEntry
