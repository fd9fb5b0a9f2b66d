// A stand-in for the client in the workflow tests. Each start appends one JSON line to the file
// named by RECORDING_CLIENT_FILE: its arguments, working directory, pid and start time. Started
// with the single argument "--linger" it stays running (at most two minutes) so that tests have a
// running copy of the client to wait for.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);

    const QString recordPath = qEnvironmentVariable("RECORDING_CLIENT_FILE");
    if (!recordPath.isEmpty()) {
        QJsonObject record;
        record.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
        record.insert(QStringLiteral("cwd"), QDir::currentPath());
        record.insert(QStringLiteral("args"), QJsonArray::fromStringList(arguments));
        record.insert(QStringLiteral("time"), QDateTime::currentMSecsSinceEpoch());
        QFile file(recordPath);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
    }

    if (arguments == QStringList {QStringLiteral("--linger")})
        QThread::sleep(120);
    return 0;
}
