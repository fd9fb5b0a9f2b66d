#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

struct RunningProcesses
{
    QStringList processIds; // decimal identifiers of the matching processes, in snapshot order
    std::uint32_t windowsError = 0; // the system's error code; 0 when the whole list was read
};

namespace UpdateProcesses {

// Lists the running processes whose executable file name equals executableFileName, letter case
// ignored. The two fields are independent: matches found before an error are kept.
RunningProcesses running(const QString &executableFileName);

} // namespace UpdateProcesses
