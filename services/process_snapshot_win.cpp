#include "process_snapshot.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

namespace ProcessSnapshot {

std::uint32_t enumerate(Callback callback, void *context)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return GetLastError();

    PROCESSENTRY32W entry;
    std::memset(&entry, 0, sizeof(entry));
    // The record's own size on x86-64; the snapshot refuses a record whose size it does not know.
    static_assert(sizeof(void *) != 8 || sizeof(PROCESSENTRY32W) == 568,
                  "PROCESSENTRY32W must be 568 bytes on x86-64");
    entry.dwSize = 568;

    ProcessSnapshotEntry found;
    if (Process32FirstW(snapshot, &entry)) {
        do {
            found.fileName.assign(entry.szExeFile, wcsnlen(entry.szExeFile, MAX_PATH));
            found.processId = entry.th32ProcessID;
            callback(found, context);
        } while (Process32NextW(snapshot, &entry));
    }

    // The enumeration ends with ERROR_NO_MORE_FILES when it ran to the end of the list.
    const DWORD lastError = GetLastError();
    CloseHandle(snapshot);
    return lastError == ERROR_NO_MORE_FILES ? 0 : lastError;
}

} // namespace ProcessSnapshot
