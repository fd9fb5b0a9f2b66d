#include "update_rights.h"

#include <unistd.h>

namespace UpdateRights {

// The tool's own test: its real user id, not the effective one.
bool hasAdministratorRights()
{
    return ::getuid() == 0;
}

// The helper does not ask for root's rights: Linux has no prompt that every session offers (pkexec
// needs a polkit agent and a policy of the publisher's), and an installation that root owns is
// updated by root.
bool elevationAvailable()
{
    return false;
}

QString elevatedDirectory()
{
    return QString();
}

} // namespace UpdateRights
