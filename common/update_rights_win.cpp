#include "update_rights.h"

#include <QDir>
#include <QSettings>
#include <QVariant>

#include <qt_windows.h>

namespace UpdateRights {

// As the maintenance tool checks it (IFW's AdminAuthorization::hasAdminRights).
bool hasAdministratorRights()
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

bool elevationAvailable()
{
    // With UAC off, a start with "runas" succeeds without starting anything more privileged
    // than the caller (the maintenance tool's own installer reads the same value for it).
    const QSettings policy(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\"
                                          "CurrentVersion\\Policies\\System"),
                           QSettings::NativeFormat);
    const QVariant enableLua = policy.value(QStringLiteral("EnableLUA"));
    return !enableLua.isValid() || enableLua.toInt() != 0;
}

QString elevatedDirectory()
{
    // From the machine's own settings, which users cannot change; the environment's ProgramFiles
    // is the caller's to set.
    const QSettings windows(
            QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion"),
            QSettings::NativeFormat);
    const QString programFiles = windows.value(QStringLiteral("ProgramFilesDir")).toString();
    if (programFiles.isEmpty() || !QDir::isAbsolutePath(programFiles))
        return QString();
    return QDir::fromNativeSeparators(programFiles) + QStringLiteral("/Corvane Updater");
}

} // namespace UpdateRights
