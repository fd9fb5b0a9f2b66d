#include "update_rights.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

namespace UpdateRights {

bool directoryWritable(const QString &directory)
{
    if (!QFileInfo(directory).isDir())
        return false;
    // What the maintenance tool tries (a QTemporaryFile in the target directory), under a name of
    // the helper's own; the file is removed when the object goes. On Linux Qt makes it without a
    // name (O_TMPFILE) where the file system allows, for the tool as here.
    QTemporaryFile probe(
            QDir(directory).filePath(QStringLiteral(".Kestrova-update-rights-XXXXXX")));
    return probe.open();
}

Access access(bool directoryWritable, bool administrator, bool elevationAvailable)
{
    if (directoryWritable || administrator)
        return Access::Direct;
    return elevationAvailable ? Access::Elevated : Access::Denied;
}

Access access(const QString &installationDirectory)
{
    return access(directoryWritable(installationDirectory), hasAdministratorRights(),
                  elevationAvailable());
}

} // namespace UpdateRights
