#include "test_files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

#include <cstring>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

QByteArray readFile(const QString &path)
{
    // Only regular files: reading a FIFO would wait for a writer.
    QFile file(path);
    return QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                      : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
            && file.write(content) == content.size();
}

bool replaceFile(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
            && file.commit();
}

QByteArray fileDigest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

QStringList filesBelow(const QString &directory)
{
    QStringList files;
    QDirIterator it(directory, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(directory).relativeFilePath(it.next()));
    files.sort();
    return files;
}

QMap<QString, QByteArray> treeSnapshot(const QString &directory)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(directory,
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries.insert(QDir(directory).relativeFilePath(info.filePath()),
                       info.isDir() ? QByteArray() : fileDigest(info.filePath()));
    }
    return entries;
}

bool makeFifo(const QString &path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath())
            && ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

bool makeSocket(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address {};
    if (!QDir().mkpath(QFileInfo(path).absolutePath())
        || size_t(name.size()) >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound
            = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound;
}

unsigned fileMode(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : ~0u;
}

bool setFileMode(const QString &path, unsigned mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

quint64 fileInode(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? quint64(status.st_ino) : 0;
}

bool runProgram(const QString &program, const QStringList &arguments, QString &error,
                const QString &directory)
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    // minisign -G would ask for a password on its terminal; there is none.
    process.closeWriteChannel();
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return true;
    error = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QLatin1String(": ")
            + QString::fromLocal8Bit(process.readAll()) + process.errorString();
    return false;
}

QByteArray componentsXml(const QByteArray &version)
{
    return "<Packages><Package><Name>com.norvatek.lumeral</Name><Version>" + version
            + "</Version></Package></Packages>\n";
}

TestDirectory::TestDirectory()
    : previousTmp(qgetenv("TMPDIR")),
      directory(QDir::tempPath() + QStringLiteral("/updater-test-XXXXXX"))
{
    valid = directory.isValid() && QDir().mkpath(tmp());
    if (valid)
        qputenv("TMPDIR", QFile::encodeName(tmp()));
}

TestDirectory::~TestDirectory()
{
    if (previousTmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", previousTmp);
}

bool TestMounts::mountSmall(const QString &directory, qint64 bytes)
{
    const QByteArray options = "size=" + QByteArray::number(bytes);
    if (!QDir().mkpath(directory)
        || ::mount("tmpfs", QFile::encodeName(directory).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                   options.constData())
                != 0)
        return false;
    targets += directory;
    return true;
}

bool TestMounts::bind(const QString &source, const QString &target)
{
    if (::mount(QFile::encodeName(source).constData(), QFile::encodeName(target).constData(),
                nullptr, MS_BIND, nullptr)
        != 0)
        return false;
    targets += target;
    return true;
}

bool TestMounts::bindReadOnly(const QString &source, const QString &target)
{
    return bind(source, target)
            && ::mount(nullptr, QFile::encodeName(target).constData(), nullptr,
                       MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)
            == 0;
}

void TestMounts::release(const QString &target)
{
    if (targets.removeOne(target))
        ::umount2(QFile::encodeName(target).constData(), MNT_DETACH);
}

void TestMounts::releaseAll()
{
    while (!targets.isEmpty())
        release(targets.constLast());
}
