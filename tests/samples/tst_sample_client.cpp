#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Stands in for updater_helper: records its arguments and, after a moment, replaces the handoff
// file with the record it was given, the way the helper writes "ready".
const char FakeHelperScript[] = R"(#!/bin/sh
for argument in "$@"; do
    case "$argument" in --handoff-file=*) handoff="${argument#--handoff-file=}" ;; esac
done
printf '%s\n' "$@" > "$FAKE_HELPER_ARGUMENTS"
sleep 0.2
printf '%s' "$FAKE_HELPER_RECORD" > "$handoff.new" && mv "$handoff.new" "$handoff"
)";

} // namespace

class TestSampleClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void recordsEachLaunchExactly_data();
    void recordsEachLaunchExactly();
    void reportsAFailureRecordOnLaunch_data();
    void reportsAFailureRecordOnLaunch();
    void answersTheHandoffOnlyAfterReady_data();
    void answersTheHandoffOnlyAfterReady();

private:
    QString path(const QString &relativePath) const { return dir->filePath(relativePath); }
    QProcess *startClient(const QStringList &arguments, const QProcessEnvironment &environment);
    QJsonObject onlyLaunchRecord();

    // The temporary directory the test started with; each test points TMPDIR into its own.
    QString baseTemporaryPath;
    std::unique_ptr<QTemporaryDir> dir;
    QString clientPath;
};

void TestSampleClient::initTestCase()
{
    baseTemporaryPath = QDir::tempPath();
}

void TestSampleClient::init()
{
    dir = std::make_unique<QTemporaryDir>(baseTemporaryPath
                                          + QLatin1String("/tst_sample_client-XXXXXX"));
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    qputenv("TMPDIR", QFile::encodeName(dir->path()));
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("install")));
    clientPath = path("install/Corvane.exe");
    QVERIFY(QFile::copy(QStringLiteral(SAMPLE_CLIENT_PATH), clientPath));
}

QProcess *TestSampleClient::startClient(const QStringList &arguments,
                                        const QProcessEnvironment &environment)
{
    auto *process = new QProcess(this);
    QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
    processEnvironment.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), path("launches"));
    processEnvironment.insert(environment);
    process->setProcessEnvironment(processEnvironment);
    process->setWorkingDirectory(path("install"));
    process->start(clientPath, arguments);
    return process;
}

QJsonObject TestSampleClient::onlyLaunchRecord()
{
    const QList<QByteArray> lines = readFile(path("launches")).split('\n');
    if (lines.size() != 2 || !lines.last().isEmpty()) {
        qWarning() << "expected one launch record:" << lines;
        return {};
    }
    return QJsonDocument::fromJson(lines.first()).object();
}

void TestSampleClient::recordsEachLaunchExactly_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("spaces, Cyrillic, empty") << QStringList {
            QStringLiteral("a b"), QStringLiteral("Привет"), QString(), QStringLiteral("\"q\"")};
    QTest::newRow("option-like") << QStringList {QStringLiteral("--help"), QStringLiteral("-x=1"),
                                                 QStringLiteral("--"),
                                                 QStringLiteral("line\nfeed")};
    QTest::newRow("not the update mode unless first")
            << QStringList {QStringLiteral("--restarted"), QStringLiteral("update")};
}

void TestSampleClient::recordsEachLaunchExactly()
{
    QFETCH(QStringList, arguments);

    QProcess *client = startClient(arguments, {});
    QVERIFY(client->waitForStarted(30000));
    const qint64 processId = client->processId();
    QVERIFY(client->waitForFinished(30000));

    QCOMPARE(client->exitStatus(), QProcess::NormalExit);
    QCOMPARE(client->exitCode(), 0);
    const QJsonObject record = onlyLaunchRecord();
    QCOMPARE(record.value(QStringLiteral("arguments")).toVariant().toStringList(), arguments);
    QCOMPARE(record.value(QStringLiteral("workingDirectory")).toString(), path("install"));
    QCOMPARE(record.value(QStringLiteral("program")).toString(), clientPath);
    QCOMPARE(qint64(record.value(QStringLiteral("pid")).toDouble()), processId);
    QVERIFY(record.value(QStringLiteral("time")).toDouble() > 0);
    QVERIFY(!record.contains(QStringLiteral("handoffError")));
}

void TestSampleClient::reportsAFailureRecordOnLaunch_data()
{
    QTest::addColumn<QByteArray>("argumentFileContent");
    QTest::addColumn<QString>("argumentForm");
    QTest::addColumn<QByteArray>("environmentFileContent");
    QTest::addColumn<QString>("reported");

    const QByteArray failure("error\nВерсия 2.0 не установлена.\nВторая строка");
    const QString message = QStringLiteral("Версия 2.0 не установлена.\nВторая строка");
    QTest::newRow("from the environment") << QByteArray() << QString() << failure << message;
    QTest::newRow("from --handoff-file PATH")
            << failure << QStringLiteral("separate") << QByteArray() << message;
    QTest::newRow("from --handoff-file=PATH")
            << failure << QStringLiteral("equals") << QByteArray() << message;
    QTest::newRow("argument wins over environment")
            << QByteArray("continue") << QStringLiteral("separate") << failure << QString();
}

void TestSampleClient::reportsAFailureRecordOnLaunch()
{
    QFETCH(QByteArray, argumentFileContent);
    QFETCH(QString, argumentForm);
    QFETCH(QByteArray, environmentFileContent);
    QFETCH(QString, reported);

    QStringList arguments {QStringLiteral("--restarted")};
    if (!argumentForm.isEmpty()) {
        writeFile(path("argument-handoff"), argumentFileContent);
        if (argumentForm == QLatin1String("equals"))
            arguments << QStringLiteral("--handoff-file=") + path("argument-handoff");
        else
            arguments << QStringLiteral("--handoff-file") << path("argument-handoff");
    }
    QProcessEnvironment environment;
    if (!environmentFileContent.isNull()) {
        writeFile(path("environment-handoff"), environmentFileContent);
        environment.insert(QStringLiteral("SAMPLE_CLIENT_HANDOFF"), path("environment-handoff"));
    }

    QProcess *client = startClient(arguments, environment);
    QVERIFY(client->waitForFinished(30000));

    QCOMPARE(client->exitCode(), 0);
    const QJsonObject record = onlyLaunchRecord();
    QCOMPARE(record.contains(QStringLiteral("handoffError")), !reported.isNull());
    QCOMPARE(record.value(QStringLiteral("handoffError")).toString(), reported);
    const QByteArray out = client->readAllStandardOutput();
    QCOMPARE(out.contains("The last update failed: " + reported.toUtf8()), !reported.isNull());
    if (!argumentForm.isEmpty())
        QCOMPARE(readFile(path("argument-handoff")), argumentFileContent);
}

void TestSampleClient::answersTheHandoffOnlyAfterReady_data()
{
    QTest::addColumn<QByteArray>("helperRecord");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("finalContent");
    QTest::addColumn<QByteArray>("printed");

    QTest::newRow("ready") << QByteArray("ready") << 0 << QByteArray("continue")
                           << QByteArray("Handoff confirmed");
    QTest::newRow("ready with line feed")
            << QByteArray("ready\n") << 3 << QByteArray("ready\n") << QByteArray();
    QTest::newRow("capitals") << QByteArray("READY") << 3 << QByteArray("READY") << QByteArray();
    QTest::newRow("nothing written") << QByteArray() << 3 << QByteArray() << QByteArray();
    QTest::newRow("failure record")
            << QByteArray("error\nЗанято") << 2 << QByteArray("error\nЗанято")
            << QByteArray("Update failed: Занято");
}

void TestSampleClient::answersTheHandoffOnlyAfterReady()
{
    QFETCH(QByteArray, helperRecord);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, finalContent);
    QFETCH(QByteArray, printed);

    const QString helper = path("fake-helper.sh");
    writeFile(helper, FakeHelperScript);
    QVERIFY(QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // A record of an earlier update must not count as this one's answer.
    writeFile(path("handoff"), "ready");

    QProcessEnvironment environment;
    environment.insert(QStringLiteral("FAKE_HELPER_ARGUMENTS"), path("helper-arguments"));
    environment.insert(QStringLiteral("FAKE_HELPER_RECORD"), QString::fromUtf8(helperRecord));
    QProcess *client = startClient(
            {QStringLiteral("update"), QStringLiteral("--helper"), helper,
             QStringLiteral("--maintenance-tool"), path("tool"), QStringLiteral("--repository"),
             QStringLiteral("file:///repo"), QStringLiteral("--handoff-file"), path("handoff"),
             QStringLiteral("--argument"), QStringLiteral("-x y"), QStringLiteral("--argument="),
             QStringLiteral("--answer-timeout-ms"), QStringLiteral("1500")},
            environment);
    QVERIFY(client->waitForFinished(30000));

    const QByteArray out = client->readAllStandardOutput();
    QCOMPARE(client->exitCode(), exitCode);
    QVERIFY2(out.contains(printed), out.constData());
    // The fake helper runs detached and may write after a client that gave up has ended.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path("handoff")), finalContent, 30000);
    QCOMPARE(readFile(path("helper-arguments")),
             "--maintenance-tool=" + path("tool").toUtf8()
                     + "\n--repository=file:///repo\n"
                       "--application="
                     + clientPath.toUtf8() + "\n--working-directory=" + path("install").toUtf8()
                     + "\n--handoff-file=" + path("handoff").toUtf8()
                     + "\n--application-argument=-x y\n--application-argument=\n");
}

QTEST_GUILESS_MAIN(TestSampleClient)
#include "tst_sample_client.moc"
