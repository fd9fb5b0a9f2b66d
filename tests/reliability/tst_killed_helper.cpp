#include "file_contents.h"
#include "helper_runs.h"
#include "process_tools.h"
#include "sample_installation.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

#include <signal.h>

namespace {

enum class Phase { HandoffWait, ClientExitWait, Backup, ToolRun };

const QString ToolName = QFileInfo(QStringLiteral(SAMPLE_TOOL_PATH)).fileName();
const QString HelperName = QFileInfo(QStringLiteral(UPDATER_HELPER_PATH)).fileName();

// Large enough that the copy takes a good part of a second even on a fast disk, so that a kill
// sent as soon as the backup directory appears lands in the middle of it.
constexpr qint64 BigFileSize = 200 * 1024 * 1024;

QString backupDirectoryIn(const QString &directory)
{
    const QStringList entries = QDir(directory).entryList(
            {QStringLiteral("Kestrova-update-backup-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    return entries.isEmpty() ? QString() : entries.constFirst();
}

QStringList lockFilesIn(const QString &directory)
{
    return QDir(directory).entryList({QStringLiteral("Kestrova-update-*.lock")}, QDir::Files);
}

} // namespace

Q_DECLARE_METATYPE(Phase)

class TestKilledHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void killedHelperLeavesWholeFilesAndTheNextUpdateCompletes_data();
    void killedHelperLeavesWholeFilesAndTheNextUpdateCompletes();
    void toolKilledMidwayIsRolledBackAndTheClientRelaunched();
    void clientKilledAfterConfirmingCountsAsExited();

private:
    SampleInstallation makeInstallation(const QString &repositoryIni);

    HelperRuns runs;
    std::unique_ptr<QTemporaryDir> root;
    int installations = 0;
};

void TestKilledHelper::initTestCase()
{
    QString error;
    QVERIFY2(runs.startServer(error), qPrintable(error));
}

void TestKilledHelper::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY2(root->isValid(), qPrintable(root->errorString()));
}

void TestKilledHelper::cleanup()
{
    runs.endAll();
    root.reset();
}

SampleInstallation TestKilledHelper::makeInstallation(const QString &repositoryIni)
{
    const QString name = QStringLiteral("Killed%1").arg(++installations);
    SampleInstallation installation(root->filePath(name), name);
    QString error;
    if (!installation.create(repositoryIni, error))
        qWarning("%s", qPrintable(error));
    return installation;
}

void TestKilledHelper::killedHelperLeavesWholeFilesAndTheNextUpdateCompletes_data()
{
    QTest::addColumn<Phase>("phase");
    QTest::newRow("waiting for the handoff") << Phase::HandoffWait;
    QTest::newRow("waiting for the client to exit") << Phase::ClientExitWait;
    QTest::newRow("copying the backup") << Phase::Backup;
    QTest::newRow("while the tool changes files") << Phase::ToolRun;
}

void TestKilledHelper::killedHelperLeavesWholeFilesAndTheNextUpdateCompletes()
{
    QFETCH(Phase, phase);

    // Slow enough that the helper can be killed between two of the tool's files.
    SampleInstallation installation
            = makeInstallation(phase == Phase::ToolRun ? QStringLiteral("delayMs=400") : QString());
    QVERIFY(QFileInfo::exists(installation.clientPath));
    if (phase == Phase::Backup)
        QVERIFY(installation.writeOldOfSize(QStringLiteral("data/big.bin"), 'b', BigFileSize));

    std::unique_ptr<QProcess> client;
    if (phase == Phase::ClientExitWait) {
        client = std::make_unique<QProcess>();
        client->setProcessEnvironment(
                installation.environment(runs.display(), runs.runtimeDirectory()));
        client->start(installation.clientPath,
                      {QStringLiteral("--stay-running-ms"), QStringLiteral("120000")});
        QVERIFY(client->waitForStarted());
        QTRY_COMPARE(installation.launches().size(), 1);
    }

    QStringList extra;
    if (phase == Phase::HandoffWait)
        extra << QStringLiteral("--handoff-file=") + installation.handoff;
    const auto first = runs.start(installation, installation.helperArguments(extra));

    qint64 toolProcessId = 0;
    switch (phase) {
    case Phase::HandoffWait:
        QTRY_COMPARE_WITH_TIMEOUT(installation.handoffRecord(), QByteArray("ready"), 15000);
        break;
    case Phase::ClientExitWait:
        QTRY_VERIFY_WITH_TIMEOUT(installation.log().startsWith("Repository: "), 15000);
        break;
    case Phase::Backup: {
        // Polled without the event loop's pauses: the copy may last only a few hundred ms.
        QDeadlineTimer deadline(30000);
        while (backupDirectoryIn(installation.tmp).isEmpty() && !deadline.hasExpired())
            QThread::usleep(500);
        QVERIFY(!backupDirectoryIn(installation.tmp).isEmpty());
        break;
    }
    case Phase::ToolRun:
        QTRY_VERIFY_WITH_TIMEOUT(
                installation.log().contains("Installing payload/lib/nested/asset.bin"), 15000);
        const QList<qint64> children = ProcessTools::children(first->processId());
        QCOMPARE(children.size(), 1);
        toolProcessId = children.constFirst();
        runs.track(toolProcessId, ToolName);
        break;
    }

    first->kill();
    QVERIFY(first->waitForFinished(10000));
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);

    if (phase == Phase::Backup) {
        QVERIFY2(!installation.log().contains("Installation backup created."),
                 "the backup ended before the kill");
        QCOMPARE(installation.toolRuns(), 0);
    }
    if (phase == Phase::ToolRun) {
        // The tool is no child of ours; it ends at its next write to the helper's closed pipe.
        QTRY_VERIFY_WITH_TIMEOUT(ProcessTools::hasEnded(toolProcessId), 15000);
        QCOMPARE(installation.toolRuns(), 1);
        QCOMPARE(installation.finishedToolRuns(), 0);
    }
    const QString afterKill = installation.mismatches(
            phase == Phase::ToolRun ? SampleInstallation::Expected::OldOrNew
                                    : SampleInstallation::Expected::Old);
    QVERIFY2(afterKill.isEmpty(), qPrintable(afterKill));
    QCOMPARE(installation.launches().size(), phase == Phase::ClientExitWait ? 1 : 0);

    // The dead helper's lock file stays, and so do its temporary and backup directories.
    QStringList leftBehind = installation.leftovers();
    const QStringList deadLocks = lockFilesIn(installation.tmp);
    QCOMPARE(deadLocks.size(), 1);
    if (phase == Phase::Backup || phase == Phase::ToolRun)
        QVERIFY(!backupDirectoryIn(installation.tmp).isEmpty());

    if (client) {
        client->kill();
        QVERIFY(client->waitForFinished(5000));
    }

    // A new helper for the same installation takes the lock over and completes a whole update.
    QVERIFY(QFile::remove(installation.handoff) || !QFileInfo::exists(installation.handoff));
    const int launchesBefore = installation.launches().size();
    const auto second = runs.start(
            installation,
            installation.helperArguments({QStringLiteral("--handoff-file=") + installation.handoff,
                                          QStringLiteral("--expected-version=2.0.0"),
                                          QStringLiteral("--application-argument=--after")}));
    QTRY_COMPARE_WITH_TIMEOUT(installation.handoffRecord(), QByteArray("ready"), 15000);
    QVERIFY(FileContents::replace(installation.handoff, "continue"));
    QVERIFY(second->waitForFinished(60000));
    QCOMPARE(second->exitCode(), 0);
    QTRY_COMPARE(installation.launches().size(), launchesBefore + 1);
    QCOMPARE(installation.launches()
                     .constLast()
                     .value(QStringLiteral("arguments"))
                     .toArray()
                     .toVariantList(),
             QVariantList {QStringLiteral("--after")});

    const QString afterUpdate = installation.mismatches(SampleInstallation::Expected::New);
    QVERIFY2(afterUpdate.isEmpty(), qPrintable(afterUpdate));
    const QByteArray log = installation.log();
    QVERIFY2(log.startsWith("Repository: ") && log.contains("\nInstallation backup created.\n")
                     && !log.contains("Update error"),
             log.constData());
    QCOMPARE(installation.handoffRecord(), QByteArray("continue"));

    // The new run cleaned up after itself, the lock included; the dead run's directories remain.
    leftBehind.removeAll(deadLocks.constFirst());
    QTRY_COMPARE(installation.leftovers(), leftBehind);
}

void TestKilledHelper::toolKilledMidwayIsRolledBackAndTheClientRelaunched()
{
    SampleInstallation installation = makeInstallation(QStringLiteral("delayMs=400"));
    QVERIFY(QFileInfo::exists(installation.clientPath));
    const auto helper = runs.start(
            installation,
            installation.helperArguments({QStringLiteral("--handoff-file=") + installation.handoff,
                                          QStringLiteral("--application-argument=--rolled-back")}));
    QTRY_COMPARE_WITH_TIMEOUT(installation.handoffRecord(), QByteArray("ready"), 15000);
    QVERIFY(FileContents::replace(installation.handoff, "continue"));

    QTRY_VERIFY_WITH_TIMEOUT(installation.log().contains("Installing payload/lib/nested/asset.bin"),
                             15000);
    const QList<qint64> children = ProcessTools::children(helper->processId());
    QCOMPARE(children.size(), 1);
    QCOMPARE(ProcessTools::executableName(children.constFirst()), ToolName);
    QVERIFY(::kill(pid_t(children.constFirst()), SIGKILL) == 0);

    QVERIFY(runs.closeAfterFailure(*helper));
    const QByteArray message = QByteArrayLiteral("Maintenance tool завершился с кодом ");
    QVERIFY2(installation.handoffRecord().startsWith("error\n" + message),
             installation.handoffRecord().constData());
    QVERIFY2(installation.log().contains("\nUpdate error: " + message),
             installation.log().constData());
    const QString mismatches = installation.mismatches(SampleInstallation::Expected::Old);
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    QTRY_COMPARE(installation.launches().size(), 1);
    QCOMPARE(installation.launches()
                     .constFirst()
                     .value(QStringLiteral("arguments"))
                     .toArray()
                     .toVariantList(),
             QVariantList {QStringLiteral("--rolled-back")});
    QVERIFY2(installation.leftovers().isEmpty(), qPrintable(installation.leftovers().join(u' ')));
}

void TestKilledHelper::clientKilledAfterConfirmingCountsAsExited()
{
    SampleInstallation installation = makeInstallation(QString());
    QVERIFY(QFileInfo::exists(installation.clientPath));

    // Left alone, the client would outstay the helper's 30 s wait for its exit.
    QProcess client;
    client.setProcessEnvironment(installation.environment(runs.display(), runs.runtimeDirectory()));
    client.start(installation.clientPath,
                 {QStringLiteral("update"), QStringLiteral("--helper"),
                  QStringLiteral(UPDATER_HELPER_PATH), QStringLiteral("--maintenance-tool"),
                  QStringLiteral(SAMPLE_TOOL_PATH), QStringLiteral("--repository"),
                  installation.repository, QStringLiteral("--handoff-file"), installation.handoff,
                  QStringLiteral("--stay-running-ms"), QStringLiteral("120000")});
    QVERIFY(client.waitForStarted());
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT(
            (output += client.readAllStandardOutput()).contains("Handoff confirmed"), 15000);
    const qsizetype at = output.indexOf("Helper started, process ");
    QVERIFY2(at >= 0, output.constData());
    const qint64 helperProcessId
            = output.mid(at + 24).split('\n').constFirst().trimmed().toLongLong();
    QVERIFY(helperProcessId > 0);
    runs.track(helperProcessId, HelperName);

    client.kill();
    QVERIFY(client.waitForFinished(5000));

    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(ProcessTools::hasEnded(helperProcessId), 15000);
    const QString mismatches = installation.mismatches(SampleInstallation::Expected::New);
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    QVERIFY2(!installation.log().contains("Update error"), installation.log().constData());
}

QTEST_GUILESS_MAIN(TestKilledHelper)
#include "tst_killed_helper.moc"
