#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// File helpers of the tests. What is not a regular file that can be read reads as "<missing>",
// so that a failed comparison says so.
QByteArray readFile(const QString &path);
// Makes the missing directories, then writes content over whatever the file held.
bool writeFile(const QString &path, const QByteArray &content);
// Replaces the file in one step, as a client writes its handoff record.
bool replaceFile(const QString &path, const QByteArray &content);
// SHA-256 of the content, read in pieces; empty when the file cannot be read.
QByteArray fileDigest(const QString &path);
// Every file below directory, relative to it, sorted.
QStringList filesBelow(const QString &directory);
// Every entry below directory by relative path: a file with its SHA-256, a folder with nothing;
// two equal snapshots mean that nothing below was written, made or removed.
QMap<QString, QByteArray> treeSnapshot(const QString &directory);
bool makeFifo(const QString &path);
bool makeSocket(const QString &path);
// The permission bits, or ~0u when the file cannot be examined.
unsigned fileMode(const QString &path);
bool setFileMode(const QString &path, unsigned mode);
// The inode number, or 0 when the file cannot be examined: the same number means the file was
// left in place, not written anew.
quint64 fileInode(const QString &path);
// Runs program with arguments (in directory, when given), its standard input closed; true when
// it exits with 0, else false with what it printed in `error`.
bool runProgram(const QString &program, const QStringList &arguments, QString &error,
                const QString &directory = QString());
// An installer's components.xml that records the client's package at version.
QByteArray componentsXml(const QByteArray &version);

// A fresh directory for one test, with TMPDIR pointed at its "tmp" folder while it lives, so that
// the code under test keeps its lock, log and temporary directories there.
class TestDirectory
{
public:
    TestDirectory();
    ~TestDirectory();

    bool isValid() const { return valid; }
    QString errorString() const { return directory.errorString(); }
    QString path() const { return directory.path(); }
    QString filePath(const QString &relativePath) const { return directory.filePath(relativePath); }
    QString tmp() const { return filePath(QStringLiteral("tmp")); }

private:
    QByteArray previousTmp;
    QTemporaryDir directory;
    bool valid = false;
};

// Mounts a test makes (as root), each undone by release() or when the object goes.
class TestMounts
{
public:
    ~TestMounts() { releaseAll(); }

    // A tmpfs of the given size on directory, which is made if missing.
    bool mountSmall(const QString &directory, qint64 bytes);
    // The file source mounted over the file target. A rename over target then fails (EBUSY)
    // until release(target): the Linux stand-in for a file another process holds open on
    // Windows, where a replacement fails the same way.
    bool bind(const QString &source, const QString &target);
    // bind(), then the mount made read-only: the file can still be read, but not opened for
    // writing (EROFS), as on Windows a file another process holds without write sharing.
    bool bindReadOnly(const QString &source, const QString &target);
    void release(const QString &target);
    void releaseAll();

private:
    QStringList targets;
};
