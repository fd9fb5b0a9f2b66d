#include "helper_copy.h"

#include "update_logon_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

const QString CopyDirectoryPrefix = QStringLiteral("helper-");

} // namespace

namespace HelperCopy {

bool liesInside(const QString &helperPath, const QString &installationDirectory)
{
    const QString helperKey = QFileInfo(helperPath).canonicalFilePath().toCaseFolded();
    QString installationKey = QFileInfo(installationDirectory).canonicalFilePath().toCaseFolded();
    if (helperKey.isEmpty() || installationKey.isEmpty())
        return false;
    if (!installationKey.endsWith(QLatin1Char('/')))
        installationKey += QLatin1Char('/');
    return helperKey.startsWith(installationKey);
}

QString make(const QString &helperPath, const QString &directory)
{
    // A directory of its own per copy keeps the helper's file name (the name its process and
    // its lock file show), and QTemporaryDir makes it for the owner only.
    QTemporaryDir copyDirectory(
            QDir(directory).filePath(CopyDirectoryPrefix + QStringLiteral("XXXXXX")));
    if (!copyDirectory.isValid())
        return QString();
    const QString copyPath = copyDirectory.filePath(QFileInfo(helperPath).fileName());
    if (!QFile::copy(helperPath, copyPath)
        || !QFile::setPermissions(copyPath, QFile::permissions(helperPath)))
        return QString();
    copyDirectory.setAutoRemove(false);
    return copyPath;
}

void removeOld(const QString &directory)
{
    // Only what make() leaves: "helper-" and the six letters or digits QTemporaryDir puts in.
    static const QRegularExpression copyName(QStringLiteral("^helper-[A-Za-z0-9]{6}$"));
    // A copy that a logon entry starts is what puts an interrupted update back once its client
    // is gone: it stays until the helper removes the entry.
    QStringList kept;
    for (const QString &program : UpdateLogonEntry::programs())
        kept.append(QFileInfo(QFileInfo(program).absolutePath()).canonicalFilePath());
    const QFileInfoList entries = QDir(directory).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot
                                                                | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo &entry : entries) {
        if (!copyName.match(entry.fileName()).hasMatch()
            || kept.contains(entry.canonicalFilePath(), Qt::CaseInsensitive))
            continue;
        const QDir copyDirectory(entry.filePath());
        const QFileInfoList files = copyDirectory.entryInfoList(QDir::Files | QDir::Hidden);
        bool running = false;
        for (const QFileInfo &file : files)
            running = running || isRunning(file.filePath());
        if (!running)
            QDir(entry.filePath()).removeRecursively();
    }
}

} // namespace HelperCopy
