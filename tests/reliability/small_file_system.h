#pragma once

#include <QString>

// A tmpfs of a few MiB mounted over a directory of the test's own, to run out of space for real.
// Needs the right to mount, which root has here and in CI; a test fails, never skips, without it.
class SmallFileSystem
{
public:
    SmallFileSystem() = default;
    ~SmallFileSystem();

    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool mount(const QString &directory, qint64 bytes, QString &error);
    void unmount();

private:
    QString mountPoint;
};
