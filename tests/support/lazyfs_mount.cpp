#include "lazyfs_mount.h"

#include "test_files.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

bool isMounted(const QString &mountPoint)
{
    // /proc/self/mounts escapes blanks in paths; the tests' paths have none.
    const QList<QByteArray> lines = readFile(u"/proc/self/mounts"_s).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 2 && fields.at(1) == QFile::encodeName(mountPoint)
            && fields.at(2).startsWith("fuse"))
            return true;
    }
    return false;
}

bool waitFor(const std::function<bool()> &condition, int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

QString LazyFsMount::binary()
{
    return qEnvironmentVariable("UPDATER_LAZYFS");
}

bool LazyFsMount::mount(const QString &lower, const QString &mountPoint, const QString &work,
                        qint64 cacheBytes, QString &error)
{
    this->lower = QDir(lower).absolutePath();
    mountedAt = QDir(mountPoint).absolutePath();
    this->work = QDir(work).absolutePath();
    this->cacheBytes = cacheBytes;
    const QByteArray config = "[faults]\nfifo_path=\"" + QFile::encodeName(work)
            + "/faults.fifo\"\n[cache]\napply_eviction=false\n[cache.simple]\ncustom_size=\""
            + QByteArray::number(cacheBytes / (1 << 20))
            + "mb\"\nblocks_per_page=1\n[filesystem]\nlog_all_operations=false\nlogfile=\"\"\n";
    if (!QDir().mkpath(this->lower) || !QDir().mkpath(mountedAt)
        || !writeFile(work + u"/lazyfs.toml"_s, config)) {
        error = u"cannot prepare the LazyFS directories in "_s + work;
        return false;
    }
    return start(error);
}

bool LazyFsMount::start(QString &error)
{
    process.setProgram(binary());
    process.setArguments({mountedAt, u"--config-path"_s, work + u"/lazyfs.toml"_s, u"-o"_s,
                          u"modules=subdir"_s, u"-o"_s, u"subdir="_s + lower, u"-f"_s});
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(work + u"/lazyfs.log"_s, QIODevice::Append);
    process.start();
    // Ready once mounted and reading its FIFO.
    const bool ready = process.waitForStarted(10000)
            && waitFor(
                               [this] {
                                   return process.state() != QProcess::Running
                                           || (isMounted(mountedAt)
                                               && log().count("waiting for fault commands")
                                                       > log().count("stopping LazyFS"));
                               },
                               15000);
    if (ready && process.state() == QProcess::Running)
        return true;
    error = u"LazyFS did not mount %1:\n%2"_s.arg(mountedAt, QString::fromUtf8(log()));
    unmount();
    return false;
}

QByteArray LazyFsMount::log() const
{
    return readFile(work + u"/lazyfs.log"_s);
}

bool LazyFsMount::cut(QString &error)
{
    const qsizetype clearedBefore = log().count("cache is cleared");
    // Non-blocking: a LazyFS that no longer reads its FIFO must not hang the test.
    const int fifo = ::open(QFile::encodeName(work + u"/faults.fifo"_s).constData(),
                            O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const QByteArray command = "lazyfs::clear-cache\n";
    const bool sent = fifo >= 0
            && ::write(fifo, command.constData(), size_t(command.size()))
                    == ssize_t(command.size());
    if (fifo >= 0)
        ::close(fifo);
    if (!sent || !waitFor([&] { return log().count("cache is cleared") > clearedBefore; }, 15000)) {
        error = u"LazyFS did not clear its cache:\n"_s + QString::fromUtf8(log());
        return false;
    }
    unmount();
    return start(error);
}

void LazyFsMount::unmount()
{
    if (mountedAt.isEmpty())
        return;
    // A process still inside the mount (a client the helper started) makes the plain unmount
    // fail; the lazy one detaches it all the same.
    if (isMounted(mountedAt)
        && QProcess::execute(u"fusermount3"_s, {u"-u"_s, u"-q"_s, mountedAt}) != 0)
        QProcess::execute(u"fusermount3"_s, {u"-u"_s, u"-z"_s, u"-q"_s, mountedAt});
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}
