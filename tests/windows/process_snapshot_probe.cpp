// Runs the Tool Help process snapshot (services/process_snapshot_win.cpp) on Windows, or under Wine
// here, and checks what waiting for the client relies on: a process is listed under its bare file
// name with its own id, a name that only shares a prefix or a part does not match, a second copy
// is listed while it runs and not after it has ended, and a complete enumeration reports error 0.
//
// scripts/check-windows cross-compiles it as SnapshotProbe.exe, whose mixed-case name lets the
// probe look itself up in another letter case. It is no CTest test: the main build is native.
//
//   SnapshotProbe.exe           runs the checks, one line each; exit code 0 when all pass
//   SnapshotProbe.exe --linger  the second copy that the checks start; ends itself after 60 s

#include "process_snapshot.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Snapshot
{
    std::vector<ProcessSnapshotEntry> entries;
    std::uint32_t error = 0;
};

Snapshot takeSnapshot()
{
    Snapshot snapshot;
    snapshot.error = visitProcessSnapshot(
            [&](const ProcessSnapshotEntry &entry) { snapshot.entries.push_back(entry); });
    return snapshot;
}

// The whole name, letter case ignored, nothing trimmed: the rule by which the client is found.
bool sameFileName(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE)
            == CSTR_EQUAL;
}

std::vector<std::uint32_t> matchingIds(const Snapshot &snapshot, const std::wstring &fileName)
{
    std::vector<std::uint32_t> ids;
    for (const ProcessSnapshotEntry &entry : snapshot.entries) {
        if (sameFileName(entry.fileName, fileName))
            ids.push_back(entry.processId);
    }
    return ids;
}

std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(std::size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &result[0], size, nullptr,
                            nullptr);
    return result;
}

std::string idList(const std::vector<std::uint32_t> &ids)
{
    std::string text = "[";
    for (std::size_t i = 0; i < ids.size(); ++i)
        text += (i ? " " : "") + std::to_string(ids[i]);
    return text + "]";
}

std::wstring swapLetterCase(std::wstring text)
{
    for (wchar_t &c : text) {
        if (c >= L'a' && c <= L'z')
            c = wchar_t(c - L'a' + L'A');
        else if (c >= L'A' && c <= L'Z')
            c = wchar_t(c - L'A' + L'a');
    }
    return text;
}

class Checks
{
public:
    void check(bool passed, const std::string &what)
    {
        std::printf("%s %s\n", passed ? "PASS" : "FAIL", what.c_str());
        std::fflush(stdout);
        if (!passed)
            ++failures;
    }
    int failures = 0;
};

bool ownExecutable(std::wstring &path, std::wstring &fileName)
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    if (length == 0 || length >= buffer.size())
        return false;
    path.assign(buffer.data(), length);
    const std::size_t separator = path.find_last_of(L"\\/");
    fileName = separator == std::wstring::npos ? path : path.substr(separator + 1);
    return !fileName.empty();
}

bool startSecondCopy(const std::wstring &path, PROCESS_INFORMATION &process)
{
    std::wstring commandLine = L"\"" + path + L"\" --linger";
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    std::memset(&process, 0, sizeof(process));
    return CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process);
}

bool endSecondCopy(PROCESS_INFORMATION &process)
{
    const bool ended = TerminateProcess(process.hProcess, 0)
            && WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--linger") == 0) {
        Sleep(60000);
        return 0;
    }

    Checks checks;
    std::wstring path;
    std::wstring fileName;
    if (!ownExecutable(path, fileName)) {
        checks.check(false, "the probe knows its own executable");
        return 1;
    }
    const std::uint32_t ownId = GetCurrentProcessId();
    const std::wstring otherCase = swapLetterCase(fileName);

    const Snapshot first = takeSnapshot();
    checks.check(first.error == 0,
                 "a complete enumeration reports error 0 (got " + std::to_string(first.error)
                         + ")");

    bool bareNames = !first.entries.empty();
    for (const ProcessSnapshotEntry &entry : first.entries) {
        if (entry.fileName.find_first_of(L"\\/") != std::wstring::npos) {
            bareNames = false;
            std::printf("     listed with a directory: %s\n", utf8(entry.fileName).c_str());
        }
    }
    checks.check(bareNames,
                 std::to_string(first.entries.size())
                         + " processes listed, each by its bare file name");

    bool exactName = false;
    for (const ProcessSnapshotEntry &entry : first.entries)
        exactName = exactName || (entry.processId == ownId && entry.fileName == fileName);
    checks.check(exactName,
                 "own process listed as " + utf8(fileName) + " with its id "
                         + std::to_string(ownId));

    const std::vector<std::uint32_t> own = matchingIds(first, otherCase);
    checks.check(own == std::vector<std::uint32_t> {ownId},
                 "looked up as " + utf8(otherCase) + ": " + idList(own) + ", expected ["
                         + std::to_string(ownId) + "]");

    const std::wstring stem = fileName.substr(0, fileName.rfind(L'.'));
    const std::wstring partialNames[] = {
            fileName.substr(0, fileName.size() - 1), // the extension cut short
            stem, // no extension
            fileName.substr(0, 4), // a short prefix
            fileName.substr(1), // contained, not at the start
            fileName + L".bak", // the name is only a prefix of it
            L" " + fileName, // nothing is trimmed
    };
    for (const std::wstring &partial : partialNames) {
        const std::vector<std::uint32_t> ids = matchingIds(first, partial);
        checks.check(ids.empty(), "\"" + utf8(partial) + "\" matches nothing: " + idList(ids));
    }

    PROCESS_INFORMATION copy;
    if (!startSecondCopy(path, copy)) {
        checks.check(false,
                     "second copy started (Windows error " + std::to_string(GetLastError()) + ")");
        return 1;
    }
    const Snapshot withCopy = takeSnapshot();
    std::vector<std::uint32_t> both = matchingIds(withCopy, otherCase);
    const bool bothListed = withCopy.error == 0 && both.size() == 2
            && ((both[0] == ownId && both[1] == copy.dwProcessId)
                || (both[0] == copy.dwProcessId && both[1] == ownId));
    checks.check(bothListed,
                 "with a second copy running (id " + std::to_string(copy.dwProcessId)
                         + "): " + idList(both) + ", error " + std::to_string(withCopy.error));

    const bool ended = endSecondCopy(copy);
    checks.check(ended, "second copy ended");
    const Snapshot afterCopy = takeSnapshot();
    const std::vector<std::uint32_t> remaining = matchingIds(afterCopy, otherCase);
    checks.check(afterCopy.error == 0 && remaining == std::vector<std::uint32_t> {ownId},
                 "after the second copy ended: " + idList(remaining) + ", error "
                         + std::to_string(afterCopy.error));

    return checks.failures == 0 ? 0 : 1;
}
