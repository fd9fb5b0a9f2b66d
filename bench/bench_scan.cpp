// Times UpdateProcesses::running with a crowd of processes on the machine, for bench/run.
//
//   bench_scan [PROCESSES [SCANS]]      defaults: 1000 processes, 200 scans
//
// Starts PROCESSES idle children ("sleep"), which the kernel kills should this program die first,
// times SCANS scans, ends the children by their ids and prints one line of JSON.

#include "process_snapshot.h"
#include "update_processes.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/prctl.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

pid_t startIdleChild()
{
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child != 0)
        return child;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
    execlp("sleep", "sleep", "3600", static_cast<char *>(nullptr));
    _exit(127);
}

void endChildren(const std::vector<pid_t> &children)
{
    for (const pid_t child : children)
        kill(child, SIGKILL);
    for (const pid_t child : children) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) { }
    }
}

// CPU time of this thread: less disturbed than the wall clock when other programs share the cores.
double threadCpuMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double percentile(const std::vector<double> &sorted, double fraction)
{
    const std::size_t index = std::min(sorted.size() - 1, std::size_t(fraction * sorted.size()));
    return sorted[index];
}

} // namespace

int main(int argc, char **argv)
{
    const int processCount = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int scanCount = argc > 2 ? std::atoi(argv[2]) : 200;
    if (processCount < 0 || scanCount < 1) {
        std::fprintf(stderr, "usage: bench_scan [PROCESSES [SCANS]]\n");
        return 1;
    }

    std::vector<pid_t> children;
    children.reserve(std::size_t(processCount));
    for (int i = 0; i < processCount; ++i) {
        const pid_t child = startIdleChild();
        if (child < 0) {
            std::perror("bench_scan: fork");
            endChildren(children);
            return 1;
        }
        children.push_back(child);
    }
    // A child still between fork and exec would be scanned as a copy of this program.
    usleep(500 * 1000);

    std::size_t processesSeen = 0;
    visitProcessSnapshot([&](const ProcessSnapshotEntry &) { ++processesSeen; });

    std::vector<double> milliseconds;
    std::vector<double> cpuMilliseconds;
    milliseconds.reserve(std::size_t(scanCount));
    cpuMilliseconds.reserve(std::size_t(scanCount));
    std::size_t matches = 0;
    QElapsedTimer timer;
    for (int i = 0; i < scanCount; ++i) {
        const double cpuStart = threadCpuMilliseconds();
        timer.start();
        const RunningProcesses running = UpdateProcesses::running(QStringLiteral("Corvane.exe"));
        milliseconds.push_back(double(timer.nsecsElapsed()) / 1e6);
        cpuMilliseconds.push_back(threadCpuMilliseconds() - cpuStart);
        matches += std::size_t(running.processIds.size());
    }
    endChildren(children);

    std::sort(milliseconds.begin(), milliseconds.end());
    std::sort(cpuMilliseconds.begin(), cpuMilliseconds.end());
    std::printf("{\"processes\": %zu, \"scans\": %d, \"median_ms\": %.3f, \"p90_ms\": %.3f, "
                "\"max_ms\": %.3f, \"cpu_median_ms\": %.3f, \"matches\": %zu}\n",
                processesSeen, scanCount, percentile(milliseconds, 0.5),
                percentile(milliseconds, 0.9), milliseconds.back(),
                percentile(cpuMilliseconds, 0.5), matches);
    return 0;
}
