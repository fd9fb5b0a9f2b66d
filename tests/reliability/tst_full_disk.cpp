#include "file_contents.h"
#include "helper_runs.h"
#include "sample_installation.h"
#include "small_file_system.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr qint64 MiB = 1024 * 1024;

} // namespace

class TestFullDisk : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void backupRunningOutOfSpaceLeavesTheInstallationAlone();
    void restoreRunningOutOfSpaceKeepsTheBackupAndTheClientClosed();
    void temporaryDirectoryFullFromTheStartStopsAtTheLock();

private:
    HelperRuns runs;
    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<SmallFileSystem> fileSystem;
};

void TestFullDisk::initTestCase()
{
    QString error;
    QVERIFY2(runs.startServer(error), qPrintable(error));
}

void TestFullDisk::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY2(root->isValid(), qPrintable(root->errorString()));
    fileSystem = std::make_unique<SmallFileSystem>();
}

void TestFullDisk::cleanup()
{
    runs.endAll();
    fileSystem.reset();
    root.reset();
}

void TestFullDisk::backupRunningOutOfSpaceLeavesTheInstallationAlone()
{
    SampleInstallation installation(root->filePath(QStringLiteral("backup")),
                                    QStringLiteral("FullBackup"));
    QString error;
    QVERIFY2(fileSystem->mount(installation.tmp, 4 * MiB, error), qPrintable(error));
    QVERIFY2(installation.create(QString(), error), qPrintable(error));
    // Larger than the whole temporary file system, so that it is the file the copy fails on.
    QVERIFY(installation.writeOldOfSize(QStringLiteral("data/big.bin"), 'b', 6 * MiB));

    const auto helper = runs.start(
            installation,
            installation.helperArguments({QStringLiteral("--handoff-file=") + installation.handoff,
                                          QStringLiteral("--application-argument=--again")}));
    QTRY_COMPARE_WITH_TIMEOUT(installation.handoffRecord(), QByteArray("ready"), 15000);
    QVERIFY(FileContents::replace(installation.handoff, "continue"));
    QVERIFY(runs.closeAfterFailure(*helper));

    const QByteArray message
            = QStringLiteral("Не удалось сохранить резервную копию: data/big.bin").toUtf8();
    QCOMPARE(installation.handoffRecord(), "error\n" + message);
    // The partial copy is gone, so the log line that follows found room again.
    QCOMPARE(installation.log(),
             "Repository: " + installation.repository.toUtf8() + "\n\nUpdate error: " + message
                     + '\n');
    QCOMPARE(installation.toolRuns(), 0);
    QTRY_COMPARE(installation.launches().size(), 1);
    const QString mismatches = installation.mismatches(SampleInstallation::Expected::Old);
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    QVERIFY2(installation.leftovers().isEmpty(), qPrintable(installation.leftovers().join(u' ')));
}

void TestFullDisk::restoreRunningOutOfSpaceKeepsTheBackupAndTheClientClosed()
{
    SampleInstallation installation(root->filePath(QStringLiteral("restore")),
                                    QStringLiteral("FullRestore"));
    QString error;
    QVERIFY2(fileSystem->mount(installation.directory, 8 * MiB, error), qPrintable(error));
    QVERIFY2(installation.create(QStringLiteral("exitCode=5"), error), qPrintable(error));
    QVERIFY(installation.writeOld(QStringLiteral("data/a.bin"), QByteArray(MiB, 'o')));
    QVERIFY(installation.writeNew(QStringLiteral("data/a.bin"), QByteArray(MiB, 'n')));
    // The tool fills the file system up to a rest in which each of its own later files still
    // fits, but neither the client nor data/a.bin can be copied back beside the new content.
    const qint64 available = QStorageInfo(installation.directory).bytesAvailable();
    QVERIFY(available > 2 * MiB);
    QVERIFY(installation.writeNew(QStringLiteral("filler.bin"),
                                  QByteArray(available - 256 * 1024, 'f')));

    const auto helper = runs.start(installation,
                                   installation.helperArguments({QStringLiteral("--handoff-file=")
                                                                 + installation.handoff}));
    QTRY_COMPARE_WITH_TIMEOUT(installation.handoffRecord(), QByteArray("ready"), 15000);
    QVERIFY(FileContents::replace(installation.handoff, "continue"));
    QVERIFY(runs.closeAfterFailure(*helper));
    QCOMPARE(installation.finishedToolRuns(), 1);
    QVERIFY2(installation.log().contains("\nFinished with exit code 5\n"),
             installation.log().constData());

    const QString record = QString::fromUtf8(installation.handoffRecord());
    const QRegularExpression expected(
            QStringLiteral("^error\nMaintenance tool завершился с кодом 5\\.\n\nНе удалось "
                           "восстановить (.+)\\. Резервная копия сохранена: (.+)$"));
    const QRegularExpressionMatch match = expected.match(record);
    QVERIFY2(match.hasMatch(), qPrintable(record));
    const QString failed = match.captured(1);
    QVERIFY2(failed == QLatin1String("data/a.bin")
                     || failed == QFileInfo(installation.clientPath).fileName(),
             qPrintable(failed));
    const QString kept = match.captured(2);
    QCOMPARE(QFileInfo(kept).absolutePath(), installation.tmp);

    // Nothing is half-written: each file is whole, old or new, and the kept backup is complete.
    const QString inInstallation = installation.mismatches(SampleInstallation::Expected::OldOrNew);
    QVERIFY2(inInstallation.isEmpty(), qPrintable(inInstallation));
    const QString inBackup = installation.mismatches(SampleInstallation::Expected::Old, {}, kept);
    QVERIFY2(inBackup.isEmpty(), qPrintable(inBackup));
    QCOMPARE(installation.leftovers(), QStringList {QFileInfo(kept).fileName()});
    // The installation may be a mixture of versions: the client is not started on it.
    QCOMPARE(installation.launches().size(), 0);
}

void TestFullDisk::temporaryDirectoryFullFromTheStartStopsAtTheLock()
{
    SampleInstallation installation(root->filePath(QStringLiteral("full")),
                                    QStringLiteral("FullFromStart"));
    QString error;
    QVERIFY2(fileSystem->mount(installation.tmp, MiB, error), qPrintable(error));
    QVERIFY2(installation.create(QString(), error), qPrintable(error));
    const QString filler = installation.tmp + QStringLiteral("/filler");
    QVERIFY(!FileContents::write(filler, QByteArray(2 * MiB, 'f')));
    QCOMPARE(QStorageInfo(installation.tmp).bytesAvailable(), qint64(0));

    const auto helper = runs.start(installation,
                                   installation.helperArguments({QStringLiteral("--handoff-file=")
                                                                 + installation.handoff}));
    QVERIFY(runs.closeAfterFailure(*helper));

    // The lock file cannot be written, and a lock that cannot be taken is reported as one that
    // another helper holds: the only text there is for it.
    QCOMPARE(installation.handoffRecord(),
             "error\n" + QStringLiteral("Обновление этой установки уже выполняется.").toUtf8());
    QCOMPARE(installation.toolRuns(), 0);
    QCOMPARE(installation.launches().size(), 0);
    const QString mismatches = installation.mismatches(SampleInstallation::Expected::Old);
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    QCOMPARE(installation.leftovers(), QStringList {QStringLiteral("filler")});
}

QTEST_GUILESS_MAIN(TestFullDisk)
#include "tst_full_disk.moc"
