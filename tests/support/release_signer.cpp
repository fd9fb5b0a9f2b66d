#include "release_signer.h"

#include "test_files.h"

#include <QDir>
#include <QProcess>

using namespace Qt::StringLiterals;

bool ReleaseSigner::create(const QString &keyDirectory, const QString &tool, QString &error)
{
    directory = keyDirectory;
    manifestTool = tool;
    return QDir().mkpath(directory)
            && runProgram(u"minisign"_s,
                          {u"-G"_s, u"-W"_s, u"-f"_s, u"-p"_s, publicKeyPath(), u"-s"_s,
                           directory + u"/minisign.key"_s},
                          error);
}

QString ReleaseSigner::publicKey() const
{
    return QString::fromUtf8(readFile(publicKeyPath()));
}

bool ReleaseSigner::publish(const QString &repository, const QStringList &arguments,
                            QString &error) const
{
    return runProgram(manifestTool, QStringList(arguments) << repository, error)
            && sign(repository, error);
}

bool ReleaseSigner::sign(const QString &repository, QString &error,
                         const QStringList &options) const
{
    return runProgram(u"minisign"_s,
                      QStringList {u"-S"_s, u"-s"_s, directory + u"/minisign.key"_s, u"-m"_s,
                                   repository + u"/release.manifest"_s}
                              + options,
                      error);
}

bool ReleaseSigner::minisignVerifies(const QString &repository) const
{
    QString error;
    return runProgram(
            u"minisign"_s,
            {u"-V"_s, u"-p"_s, publicKeyPath(), u"-m"_s, repository + u"/release.manifest"_s},
            error);
}
