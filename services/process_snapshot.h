#pragma once

// The operating system's list of running processes, without Qt, so that each platform's part can
// be compiled and checked on its own (the Windows part with a cross compiler and under Wine).

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
using ProcessFileName = std::wstring; // UTF-16, as the Tool Help snapshot reports it
#else
using ProcessFileName = std::string; // bytes in the local 8-bit encoding, as the kernel reports them
#endif

struct ProcessSnapshotEntry
{
    ProcessFileName fileName; // the executable's file name, without its directory
    std::uint32_t processId = 0;
};

// Calls visit(entry) for every process in snapshot order and returns 0 when the whole list was
// read, or the system's error code (GetLastError on Windows, errno elsewhere) when it could not
// be taken or was cut short. Entries visited before an error stay valid.
template<typename Visit>
std::uint32_t visitProcessSnapshot(Visit &&visit);

namespace ProcessSnapshot {

using Callback = void (*)(const ProcessSnapshotEntry &entry, void *context);

// The platform part: implemented once per operating system (process_snapshot_win.cpp,
// process_snapshot_linux.cpp).
std::uint32_t enumerate(Callback callback, void *context);

} // namespace ProcessSnapshot

template<typename Visit>
std::uint32_t visitProcessSnapshot(Visit &&visit)
{
    return ProcessSnapshot::enumerate(
            [](const ProcessSnapshotEntry &entry, void *context) {
                (*static_cast<Visit *>(context))(entry);
            },
            &visit);
}
