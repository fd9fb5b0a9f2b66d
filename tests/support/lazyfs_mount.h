#pragma once

#include <QProcess>
#include <QString>

// A LazyFS mount of a test's own (root and /dev/fuse): every write stays in LazyFS's cache, and
// only what is fsynced reaches the directory below; cut() drops the rest, as a power cut drops
// the page cache. UPDATER_LAZYFS names the lazyfs binary (scripts/lazyfs builds it). The mount
// is undone by unmount() or when the object goes, also after a failed row.
class LazyFsMount
{
public:
    // The binary UPDATER_LAZYFS names; empty when it names none.
    static QString binary();

    ~LazyFsMount() { unmount(); }

    // Mounts LazyFS with a cache of cacheBytes at mountPoint over the directory `lower` (both
    // made if missing); its configuration, fault FIFO and log go in `work`.
    bool mount(const QString &lower, const QString &mountPoint, const QString &work,
               qint64 cacheBytes, QString &error);
    // The power cut: every unsynced write dropped (lazyfs::clear-cache through the FIFO), the
    // file system unmounted, and mounted again over what reached the directory below.
    bool cut(QString &error);
    void unmount();

    QString mountPoint() const { return mountedAt; }

private:
    bool start(QString &error);
    QByteArray log() const;

    QProcess process;
    QString lower;
    QString mountedAt;
    QString work;
    qint64 cacheBytes = 0;
};
