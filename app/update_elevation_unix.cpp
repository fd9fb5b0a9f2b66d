#include "update_elevation.h"

#include <QFile>

// Nothing is elevated here (UpdateRights::elevationAvailable): the helper refuses an installation
// it cannot write before the client is asked to exit.

bool UpdateElevation::launchElevated(const QString &, const QStringList &, const QString &,
                                     QWidget *, qintptr &, QString &error)
{
    error = QStringLiteral("no elevation on this system");
    return false;
}

bool UpdateElevation::processEnded(qintptr, int &exitCode)
{
    exitCode = -1;
    return true;
}

void UpdateElevation::closeProcess(qintptr) { }

bool UpdateElevation::makeElevatedDirectory(const QString &, QString &error)
{
    error = QStringLiteral("no elevation on this system");
    return false;
}

void UpdateElevation::enterElevatedDirectory(const QString &path)
{
    qputenv("TMPDIR", QFile::encodeName(path));
}

bool UpdateElevation::isLocalPath(const QString &path)
{
    return path.startsWith(QLatin1Char('/')) && !path.startsWith(QLatin1String("//"));
}
