#include "update_dialog.h"

#include "message_box_closer.h"
#include "test_file_io.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QLockFile>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include <signal.h>
#include <sys/stat.h>

namespace {

const QString LogName = QStringLiteral("Corvane-update.log");

QString lockPathFor(const QString &canonicalClientPath)
{
    const QByteArray digest = QCryptographicHash::hash(canonicalClientPath.toCaseFolded().toUtf8(),
                                                       QCryptographicHash::Sha256);
    return QDir(QDir::tempPath())
            .filePath(QStringLiteral("Kestrova-update-%1.lock")
                              .arg(QString::fromLatin1(digest.toHex())));
}

// What the client does with the handoff file: once the helper has written "ready", it answers
// with the given record.
class HandoffAnswerer : public QObject
{
public:
    HandoffAnswerer(QString path, QByteArray answer)
        : path(std::move(path)), answer(std::move(answer))
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, [this] {
            if (readFile(this->path) != "ready")
                return;
            QSaveFile file(this->path);
            if (file.open(QIODevice::WriteOnly) && file.write(this->answer) == this->answer.size()
                && file.commit())
                timer.stop();
        });
        timer.start();
    }

private:
    QString path;
    QByteArray answer;
    QTimer timer;
};

struct Installation
{
    QString directory;
    QString clientPath;
    QString repository;
    QString handoffPath;
};

} // namespace

class TestUpdateDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void frameLooksAsDesigned();
    void closingIsRefusedUntilTheUpdateHasEnded();
    void appendLogKeepsTheLastBytesInTheTail_data();
    void appendLogKeepsTheLastBytesInTheTail();

    void successfulUpdateRelaunchesTheClient_data();
    void successfulUpdateRelaunchesTheClient();
    void failedToolRunIsJudgedByExitAndMarkers_data();
    void failedToolRunIsJudgedByExitAndMarkers();
    void failedToolRunIsRolledBackAndTheOldClientRelaunched();
    void wrongInstalledVersionFailsWithTheExpectedText();
    void preparationFailuresLeaveAnErrorRecordAndNoRelaunch_data();
    void preparationFailuresLeaveAnErrorRecordAndNoRelaunch();
    void toolThatCannotStartFailsOnceAfterStartUpdateReturned();
    void failedRestoreKeepsTheBackupAndDoesNotRelaunch();
    void failurePathRunsOnlyOnce();
    void noRelaunchWhenTheUserStartedTheClientMeanwhile();
    void exitIsJudgedAsTheProcessReportsIt_data();
    void exitIsJudgedAsTheProcessReportsIt();
    void logPlantedAsSymlinkIsNotFollowed();
    void unconfirmedHandoffTimesOutAfterFifteenSeconds();
    void clientStillRunningTimesOutAfterThirtySeconds();

private:
    Installation makeInstallation(const QString &name, const QString &repositoryIni = QString());
    std::unique_ptr<UpdateDialog> makeDialog(const Installation &installation,
                                             const QStringList &arguments = {},
                                             const QString &expectedVersion = QString());
    QList<QJsonObject> clientLaunches() const;
    QByteArray updateLog() const { return readFile(QDir(tmp).filePath(LogName)); }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<MessageBoxCloser> closer;
    std::unique_ptr<UpdateDialog> dialog;
    QList<std::shared_ptr<QProcess>> lingering;
    QString tmp;
    QString clientRecord;
    QString toolRecord;
};

void TestUpdateDialog::initTestCase()
{
    // The helper's name also names the update's temporary directory.
    QCoreApplication::setApplicationName(QStringLiteral("Corvane Updater"));
}

void TestUpdateDialog::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY2(root->isValid(), qPrintable(root->errorString()));
    tmp = root->filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(tmp));
    qputenv("TMPDIR", QFile::encodeName(tmp));
    clientRecord = root->filePath(QStringLiteral("client-launches.jsonl"));
    toolRecord = root->filePath(QStringLiteral("tool-record.txt"));
    qputenv("RECORDING_CLIENT_FILE", QFile::encodeName(clientRecord));
    qputenv("SAMPLE_TOOL_RECORD", QFile::encodeName(toolRecord));
    closer = std::make_unique<MessageBoxCloser>();
}

void TestUpdateDialog::cleanup()
{
    for (const auto &process : std::as_const(lingering)) {
        process->kill();
        process->waitForFinished(5000);
    }
    lingering.clear();
    dialog.reset();
    closer.reset();
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
    qunsetenv("TMPDIR");
    root.reset();
}

Installation TestUpdateDialog::makeInstallation(const QString &name, const QString &repositoryIni)
{
    Installation installation;
    const QString base = root->filePath(name);
    installation.directory = base + QStringLiteral("/Установка App");
    // Running copies are found machine-wide by file name, so every test's client has its own.
    installation.clientPath = installation.directory
            + QStringLiteral("/Corvane-%1.exe")
                      .arg(QString::number(quintptr(this) ^ qHash(base), 36));
    installation.repository = base + QStringLiteral("/update repository");
    installation.handoffPath = base + QStringLiteral("/handoff");

    QDir().mkpath(installation.directory);
    QFile::copy(QStringLiteral(RECORDING_CLIENT_PATH), installation.clientPath);
    writeFile(installation.directory + QStringLiteral("/components.xml"),
              "<Packages><Package><Name>com.norvatek.lumeral</Name><Version>1.0.0</Version>"
              "</Package></Packages>");
    writeFile(installation.directory + QStringLiteral("/bin/core.dat"), "old core");
    writeFile(installation.directory + QStringLiteral("/data/removed.txt"), "will be removed");
    writeFile(installation.directory + QStringLiteral("/Downloads/cached.bin"), "download");

    writeFile(installation.repository + QStringLiteral("/components.xml"),
              "<Packages><Package><Name>com.norvatek.lumeral</Name><Version>2.0.0</Version>"
              "</Package></Packages>");
    writeFile(installation.repository + QStringLiteral("/payload/bin/core.dat"), "new core");
    writeFile(installation.repository + QStringLiteral("/payload/added.txt"),
              "added by the update");
    writeFile(installation.repository + QStringLiteral("/repository.ini"),
              (QStringLiteral("[General]\nremove=data/removed.txt\n") + repositoryIni).toUtf8());
    return installation;
}

std::unique_ptr<UpdateDialog> TestUpdateDialog::makeDialog(const Installation &installation,
                                                           const QStringList &arguments,
                                                           const QString &expectedVersion)
{
    return std::make_unique<UpdateDialog>(QStringLiteral(SAMPLE_TOOL_PATH), installation.repository,
                                          installation.clientPath, installation.directory,
                                          installation.handoffPath, arguments, expectedVersion);
}

QList<QJsonObject> TestUpdateDialog::clientLaunches() const
{
    QList<QJsonObject> launches;
    const QList<QByteArray> lines = readFile(clientRecord).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            launches.append(QJsonDocument::fromJson(line).object());
    }
    return launches;
}

void TestUpdateDialog::frameLooksAsDesigned()
{
    const Installation installation = makeInstallation(QStringLiteral("frame"));
    dialog = makeDialog(installation);

    QCOMPARE(dialog->windowTitle(), QStringLiteral("Обновление Corvane"));
    QCOMPARE(dialog->minimumSize(), QSize(500, 150));
    QCOMPARE(dialog->maximumSize(), QSize(500, 150));
    QCOMPARE(dialog->layout()->contentsMargins(), QMargins(24, 22, 24, 20));
    QCOMPARE(dialog->layout()->spacing(), 14);
    QCOMPARE(dialog->layout()->indexOf(dialog->statusLabel), 0);
    QCOMPARE(dialog->layout()->indexOf(dialog->progressBar), 1);
    QCOMPARE(dialog->layout()->indexOf(dialog->closeButton), 2);
    QCOMPARE(dialog->layout()->itemAt(2)->alignment(), Qt::AlignRight);

    QCOMPARE(dialog->statusLabel->text(),
             QStringLiteral("Выполняется обновление Corvane. Пожалуйста, подождите..."));
    QVERIFY(dialog->statusLabel->wordWrap());
    QCOMPARE(dialog->progressBar->minimum(), 0);
    QCOMPARE(dialog->progressBar->maximum(), 0);
    QVERIFY(!dialog->progressBar->isTextVisible());
    QCOMPARE(dialog->closeButton->text(), QStringLiteral("Закрыть"));
    QVERIFY(dialog->closeButton->isHidden());

    QCOMPARE(dialog->process->processChannelMode(), QProcess::MergedChannels);
    QCOMPARE(dialog->process->workingDirectory(), installation.directory);
    QVERIFY(dialog->temporaryDirectory.isValid());
    QVERIFY(QFileInfo(dialog->temporaryDirectory.path())
                    .fileName()
                    .startsWith(QStringLiteral("Corvane Updater-")));
    QVERIFY(!dialog->lockFile);
    QVERIFY(!dialog->finished);
}

void TestUpdateDialog::closingIsRefusedUntilTheUpdateHasEnded()
{
    const Installation installation = makeInstallation(QStringLiteral("closing"));
    dialog = makeDialog(installation);
    dialog->show();
    QTRY_COMPARE(readFile(installation.handoffPath), QByteArray("ready"));
    QCOMPARE(dialog->statusLabel->text(), QStringLiteral("Ожидание закрытия Kestrova..."));

    QVERIFY(!dialog->close());
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    dialog->reject();
    QVERIFY(dialog->isVisible());

    HandoffAnswerer answerer(installation.handoffPath, "continue");
    QTRY_VERIFY_WITH_TIMEOUT(dialog->finished, 20000);
    QVERIFY(closer->boxes().isEmpty());
    QVERIFY(dialog->close());
    QVERIFY(!dialog->isVisible());
}

void TestUpdateDialog::appendLogKeepsTheLastBytesInTheTail_data()
{
    QTest::addColumn<QList<int>>("chunkSizes");
    QTest::addColumn<bool>("logOpen");
    QTest::addColumn<int>("tailSize");

    QTest::newRow("empty, log open") << QList<int> {0} << true << 0;
    QTest::newRow("before the log is open") << QList<int> {100} << false << 100;
    QTest::newRow("20000 bytes at once") << QList<int> {20000} << true << 16384;
    QTest::newRow("two appends of 10000") << QList<int> {10000, 10000} << true << 16384;
    QTest::newRow("many small pieces") << QList<int>(2000, 13) << true << 16384;
}

void TestUpdateDialog::appendLogKeepsTheLastBytesInTheTail()
{
    QFETCH(QList<int>, chunkSizes);
    QFETCH(bool, logOpen);
    QFETCH(int, tailSize);

    const Installation installation = makeInstallation(QStringLiteral("append"));
    dialog = makeDialog(installation);
    const QString logPath = root->filePath(QStringLiteral("append.log"));
    if (logOpen) {
        dialog->logFile.setFileName(logPath);
        QVERIFY(dialog->logFile.open(QIODevice::WriteOnly));
    }

    QByteArray everything;
    for (int i = 0; i < chunkSizes.size(); ++i) {
        const QByteArray chunk(chunkSizes.at(i), char('a' + i % 26));
        everything += chunk;
        dialog->appendLog(chunk);
        // Flushed at once: the file holds every byte without waiting for a close.
        if (logOpen)
            QCOMPARE(QFileInfo(logPath).size(), qint64(everything.size()));
    }

    QCOMPARE(dialog->logTail.size(), tailSize);
    QCOMPARE(dialog->logTail, everything.right(tailSize));
    if (chunkSizes == QList<int> {10000, 10000})
        QCOMPARE(dialog->logTail, QByteArray(6384, 'a') + QByteArray(10000, 'b'));
    if (logOpen)
        QCOMPARE(readFile(logPath), everything);
    else
        QVERIFY(!QFileInfo::exists(logPath));
}

void TestUpdateDialog::successfulUpdateRelaunchesTheClient_data()
{
    QTest::addColumn<bool>("withHandoff");
    QTest::addColumn<QString>("expectedVersion");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("handoff, version checked, arguments")
            << true << QStringLiteral("2.0.0")
            << QStringList {QStringLiteral("--profile=Мой профиль"), QString(),
                            QStringLiteral("-x"), QStringLiteral("a \"quoted\" %2 arg")};
    QTest::newRow("no handoff, no version, no arguments") << false << QString() << QStringList();
    QTest::newRow("equal version in another spelling")
            << true << QStringLiteral("2.0.00") << QStringList {QStringLiteral("one")};
}

void TestUpdateDialog::successfulUpdateRelaunchesTheClient()
{
    QFETCH(bool, withHandoff);
    QFETCH(QString, expectedVersion);
    QFETCH(QStringList, arguments);

    Installation installation = makeInstallation(QStringLiteral("success"));
    if (!withHandoff)
        installation.handoffPath.clear();
    dialog = makeDialog(installation, arguments, expectedVersion);
    std::unique_ptr<HandoffAnswerer> answerer;
    if (withHandoff)
        answerer = std::make_unique<HandoffAnswerer>(installation.handoffPath, "continue");
    dialog->show();

    QTRY_VERIFY_WITH_TIMEOUT(dialog->finished, 20000);
    QVERIFY2(closer->boxes().isEmpty(), qPrintable(closer->boxes().value(0).text));
    QCOMPARE(dialog->statusLabel->text(),
             QStringLiteral("Обновление завершено. Запуск Corvane..."));
    QCOMPARE(dialog->progressBar->maximum(), 1);
    QCOMPARE(dialog->progressBar->value(), 1);
    QVERIFY(dialog->closeButton->isHidden());
    QVERIFY(!dialog->logFile.isOpen());

    // The new version is in place; nothing of the update was rolled back.
    QCOMPARE(readFile(installation.directory + QStringLiteral("/bin/core.dat")),
             QByteArray("new core"));
    QVERIFY(!QFileInfo::exists(installation.directory + QStringLiteral("/data/removed.txt")));

    // The tool got its eight arguments, with the update's own temporary directory as cache.
    const QByteArrayList toolArguments
            = {"--cache-path",          dialog->temporaryDirectory.path().toUtf8(),
               "--set-temp-repository", installation.repository.toUtf8(),
               "--default-answer",      "--accept-licenses",
               "--confirm-command",     "update"};
    QByteArray expectedRecord;
    for (const QByteArray &argument : toolArguments)
        expectedRecord += "argument " + argument + '\n';
    expectedRecord += "working-directory " + installation.directory.toUtf8() + '\n';
    QVERIFY2(readFile(toolRecord).contains(expectedRecord), readFile(toolRecord).constData());

    const QByteArray log = updateLog();
    QVERIFY2(log.startsWith("Repository: " + installation.repository.toUtf8()
                            + "\nInstallation backup created.\n"),
             log.constData());
    QVERIFY(!dialog->logTail.contains("Repository: "));
    QVERIFY(dialog->logTail.startsWith("Installation backup created.\n"));
    QVERIFY(!log.contains("Update error"));

    QTRY_COMPARE(clientLaunches().size(), 1);
    const QJsonObject launch = clientLaunches().constFirst();
    QCOMPARE(launch.value(QStringLiteral("args")).toVariant().toStringList(), arguments);
    QCOMPARE(launch.value(QStringLiteral("cwd")).toString(), installation.directory);

    if (withHandoff)
        QCOMPARE(readFile(installation.handoffPath), QByteArray("continue"));
    else
        QVERIFY(!QFileInfo::exists(installation.handoffPath));

    // The lock is held until the dialog goes; then lock and temporary directory are gone.
    const QString lockPath = dialog->lockFile->fileName();
    QCOMPARE(lockPath, lockPathFor(QFileInfo(installation.clientPath).canonicalFilePath()));
    QVERIFY(QFileInfo::exists(lockPath));
    const QString cachePath = dialog->temporaryDirectory.path();
    const QString backupPath = dialog->backup.backupPath();
    QVERIFY(QFileInfo::exists(backupPath));
    dialog.reset();
    QVERIFY(!QFileInfo::exists(lockPath));
    QVERIFY(!QFileInfo::exists(cachePath));
    QVERIFY(!QFileInfo::exists(backupPath));
}

void TestUpdateDialog::failedToolRunIsJudgedByExitAndMarkers_data()
{
    QTest::addColumn<QString>("repositoryIni");
    QTest::addColumn<QString>("message");

    const QString cancelled = QStringLiteral(
            "Обновление отменено: осталась работающая копия Kestrova. Закройте все окна "
            "приложения, включая тестовую версию, и повторите обновление.");
    QTest::newRow("exit 1 with both markers")
            << QStringLiteral("exitCode=1\nmarkers=true\n") << cancelled;
    QTest::newRow("exit 1 without markers")
            << QStringLiteral("exitCode=1\n")
            << QStringLiteral("Maintenance tool завершился с кодом 1.");
    QTest::newRow("both markers but pushed out of the tail")
            << QStringLiteral("exitCode=1\nmarkers=true\nfloodBytes=20000\n")
            << QStringLiteral("Maintenance tool завершился с кодом 1.");
    QTest::newRow("crash with both markers")
            << QStringLiteral("crash=true\nmarkers=true\n") << cancelled;
    QTest::newRow("both markers, exit 0: success") << QStringLiteral("markers=true\n") << QString();
}

void TestUpdateDialog::failedToolRunIsJudgedByExitAndMarkers()
{
    QFETCH(QString, repositoryIni);
    QFETCH(QString, message);

    const Installation installation = makeInstallation(QStringLiteral("judged"), repositoryIni);
    dialog = makeDialog(installation, {}, QStringLiteral("2.0.0"));
    HandoffAnswerer answerer(installation.handoffPath, "continue");
    dialog->show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog->finished, 20000);

    if (message.isEmpty()) {
        QVERIFY(closer->boxes().isEmpty());
        QCOMPARE(readFile(installation.handoffPath), QByteArray("continue"));
        return;
    }
    QTRY_COMPARE(closer->boxes().size(), 1);
    QCOMPARE(closer->boxes().constFirst().text,
             message + QStringLiteral("\n\nЛог: ") + QDir(tmp).filePath(LogName));
    QCOMPARE(readFile(installation.handoffPath), "error\n" + message.toUtf8());
    QVERIFY(updateLog().endsWith("\nUpdate error: " + message.toUtf8() + '\n'));
}

void TestUpdateDialog::failedToolRunIsRolledBackAndTheOldClientRelaunched()
{
    const Installation installation
            = makeInstallation(QStringLiteral("rollback"), QStringLiteral("exitCode=3\n"));
    const QByteArray oldComponents
            = readFile(installation.directory + QStringLiteral("/components.xml"));
    dialog = makeDialog(installation, {QStringLiteral("--after-failure")}, QStringLiteral("2.0.0"));
    HandoffAnswerer answerer(installation.handoffPath, "continue");
    dialog->show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog->finished, 20000);
    QTRY_COMPARE(closer->boxes().size(), 1);

    const QString message = QStringLiteral("Maintenance tool завершился с кодом 3.");
    const MessageBoxCloser::Box box = closer->boxes().constFirst();
    QCOMPARE(box.title, QStringLiteral("Ошибка обновления Corvane"));
    QCOMPARE(box.icon, QStringLiteral("critical"));
    QCOMPARE(box.text, message + QStringLiteral("\n\nЛог: ") + QDir(tmp).filePath(LogName));

    // Changed and deleted files are back; what the update added stays; skipped areas untouched.
    QCOMPARE(readFile(installation.directory + QStringLiteral("/bin/core.dat")),
             QByteArray("old core"));
    QCOMPARE(readFile(installation.directory + QStringLiteral("/data/removed.txt")),
             QByteArray("will be removed"));
    QCOMPARE(readFile(installation.directory + QStringLiteral("/components.xml")), oldComponents);
    QCOMPARE(readFile(installation.directory + QStringLiteral("/added.txt")),
             QByteArray("added by the update"));
    QCOMPARE(readFile(installation.directory + QStringLiteral("/Downloads/cached.bin")),
             QByteArray("download"));

    QCOMPARE(readFile(installation.handoffPath), "error\n" + message.toUtf8());
    const QByteArray log = updateLog();
    QVERIFY2(log.contains("Installation backup created.\n"), log.constData());
    QVERIFY(log.endsWith("\nUpdate error: " + message.toUtf8() + '\n'));
    QVERIFY(!dialog->logFile.isOpen());

    QCOMPARE(dialog->statusLabel->text(), QStringLiteral("Не удалось установить обновление."));
    QCOMPARE(dialog->progressBar->maximum(), 1);
    QCOMPARE(dialog->progressBar->value(), 0);
    QVERIFY(dialog->closeButton->isVisible());

    QTRY_COMPARE(clientLaunches().size(), 1);
    QCOMPARE(clientLaunches().constFirst().value(QStringLiteral("args")).toVariant().toStringList(),
             QStringList {QStringLiteral("--after-failure")});

    QTest::mouseClick(dialog->closeButton, Qt::LeftButton);
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
}

void TestUpdateDialog::wrongInstalledVersionFailsWithTheExpectedText()
{
    const Installation installation = makeInstallation(QStringLiteral("version"));
    const QString expected = QStringLiteral("2.0.0.0 %2");
    dialog = makeDialog(installation, {}, expected);
    HandoffAnswerer answerer(installation.handoffPath, "continue");
    dialog->show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog->finished, 20000);
    QTRY_COMPARE(closer->boxes().size(), 1);

    const QString message = QStringLiteral("Установщик завершился, но версия 2.0.0.0 %2 не "
                                           "установлена. Проверьте журнал и повторите обновление.");
    QCOMPARE(closer->boxes().constFirst().text,
             message + QStringLiteral("\n\nЛог: ") + QDir(tmp).filePath(LogName));
    QCOMPARE(readFile(installation.directory + QStringLiteral("/bin/core.dat")),
             QByteArray("old core"));
    QTRY_COMPARE(clientLaunches().size(), 1);
}

void TestUpdateDialog::preparationFailuresLeaveAnErrorRecordAndNoRelaunch_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("logOpened");

    const QString busy = QStringLiteral("Обновление этой установки уже выполняется.");
    const QString missing = QStringLiteral("Не найдены файлы клиента или программы обновления.");
    QTest::newRow("lock held") << QStringLiteral("lock") << busy << false;
    QTest::newRow("lock held, client through a symlink")
            << QStringLiteral("lock-symlink") << busy << false;
    QTest::newRow("lock held, client as a relative path")
            << QStringLiteral("lock-relative") << busy << false;
    QTest::newRow("temporary directory not made")
            << QStringLiteral("tempdir")
            << QStringLiteral("Не удалось создать временный каталог обновления.") << false;
    QTest::newRow("maintenance tool missing") << QStringLiteral("tool") << missing << false;
    QTest::newRow("client missing") << QStringLiteral("client") << missing << false;
    QTest::newRow("handoff file cannot be written")
            << QStringLiteral("handoff")
            << QStringLiteral("Не удалось подготовить передачу управления обновлению.") << true;
}

void TestUpdateDialog::preparationFailuresLeaveAnErrorRecordAndNoRelaunch()
{
    QFETCH(QString, failure);
    QFETCH(QString, message);
    QFETCH(bool, logOpened);

    Installation installation = makeInstallation(QStringLiteral("preparation"));
    const QString logPath = QDir(tmp).filePath(LogName);
    QVERIFY(writeFile(logPath, "log of an earlier run"));
    QString toolPath = QStringLiteral(SAMPLE_TOOL_PATH);
    QString clientPath = installation.clientPath;
    QLockFile otherHelper(lockPathFor(QFileInfo(installation.clientPath).canonicalFilePath()));

    if (failure.startsWith(QLatin1String("lock")))
        QVERIFY(otherHelper.tryLock(0));
    if (failure == QLatin1String("lock-symlink")) {
        clientPath = root->filePath(QStringLiteral("link-to-client.exe"));
        QVERIFY(QFile::link(installation.clientPath, clientPath));
    } else if (failure == QLatin1String("lock-relative")) {
        QDir::setCurrent(installation.directory + QStringLiteral("/bin"));
        clientPath = QStringLiteral("../") + QFileInfo(installation.clientPath).fileName();
    } else if (failure == QLatin1String("tool")) {
        toolPath = root->filePath(QStringLiteral("no-such-tool"));
    } else if (failure == QLatin1String("client")) {
        clientPath = installation.directory + QStringLiteral("/no-such-client.exe");
    } else if (failure == QLatin1String("handoff")) {
        QVERIFY(QDir().mkpath(installation.handoffPath));
    } else if (failure == QLatin1String("tempdir")) {
        // The lock lives in the temporary directory too: let the lock succeed, but not the
        // update's own directory made at construction.
        const QString notADirectory = root->filePath(QStringLiteral("not-a-directory"));
        QVERIFY(writeFile(notADirectory, "file"));
        qputenv("TMPDIR", QFile::encodeName(notADirectory));
    }

    dialog = std::make_unique<UpdateDialog>(toolPath, installation.repository, clientPath,
                                            installation.directory, installation.handoffPath,
                                            QStringList {QStringLiteral("x")}, QString());
    qputenv("TMPDIR", QFile::encodeName(tmp));
    dialog->show();
    QTRY_VERIFY(dialog->finished);
    QTRY_COMPARE(closer->boxes().size(), 1);
    QDir::setCurrent(QDir::rootPath());

    QCOMPARE(closer->boxes().constFirst().text, message + QStringLiteral("\n\nЛог: ") + logPath);
    if (failure != QLatin1String("handoff"))
        QCOMPARE(readFile(installation.handoffPath), "error\n" + message.toUtf8());
    if (logOpened) {
        QCOMPARE(updateLog(),
                 "Repository: " + installation.repository.toUtf8()
                         + "\n\nUpdate error: " + message.toUtf8() + '\n');
    } else {
        QCOMPARE(updateLog(), QByteArray("log of an earlier run"));
        QCOMPARE(dialog->logTail, "\nUpdate error: " + message.toUtf8() + '\n');
    }
    if (failure == QLatin1String("client")) {
        // A client path that does not exist has no canonical form: the lock is named after
        // the digest of the empty text, and is taken before the check fails.
        QVERIFY(dialog->lockFile->isLocked());
        QCOMPARE(dialog->lockFile->fileName(), lockPathFor(QString()));
    }
    QTest::qWait(300);
    QVERIFY(clientLaunches().isEmpty());
    QVERIFY(dialog->backup.backupPath().isEmpty());
}

void TestUpdateDialog::toolThatCannotStartFailsOnceAfterStartUpdateReturned()
{
    const Installation installation = makeInstallation(QStringLiteral("nostart"));
    // A directory exists, so the preparation's check passes, but it cannot be executed.
    const QString toolPath = root->filePath(QStringLiteral("maintenancetool.exe"));
    QVERIFY(QDir().mkpath(toolPath));
    dialog = std::make_unique<UpdateDialog>(toolPath, installation.repository,
                                            installation.clientPath, installation.directory,
                                            QString(), QStringList(), QString());
    dialog->show();
    QTRY_VERIFY(dialog->finished);
    QTRY_COMPARE(closer->boxes().size(), 1);
    QTest::qWait(200);
    QCOMPARE(closer->boxes().size(), 1);

    const QString text = closer->boxes().constFirst().text;
    QVERIFY2(text.startsWith(QStringLiteral("Не удалось запустить maintenancetool.exe: ")
                             + dialog->process->errorString()),
             qPrintable(text));
    QVERIFY(updateLog().contains("Installation backup created.\n\nUpdate error: "));
    QTRY_COMPARE(clientLaunches().size(), 1);
}

void TestUpdateDialog::failedRestoreKeepsTheBackupAndDoesNotRelaunch()
{
    // The tool waits for a signal file; meanwhile a directory takes the place of a saved file, so
    // the restore cannot put that file back.
    const QString go = root->filePath(QStringLiteral("go"));
    const Installation installation = makeInstallation(
            QStringLiteral("restore"), QStringLiteral("exitCode=1\nwaitForFile=%1\n").arg(go));
    dialog = makeDialog(installation);
    HandoffAnswerer answerer(installation.handoffPath, "continue");
    dialog->show();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(toolRecord), 20000);
    const QString blocked = installation.directory + QStringLiteral("/bin/core.dat");
    QTRY_COMPARE(readFile(blocked), QByteArray("new core"));
    QVERIFY(QFile::remove(blocked));
    QVERIFY(QDir().mkpath(blocked + QStringLiteral("/in-the-way")));
    QVERIFY(writeFile(go, "go"));

    QTRY_VERIFY_WITH_TIMEOUT(dialog->finished, 20000);
    QTRY_COMPARE(closer->boxes().size(), 1);
    const QString backupPath = dialog->backup.backupPath();
    const QString message = QStringLiteral("Maintenance tool завершился с кодом 1.\n\nНе удалось "
                                           "восстановить bin/core.dat. Резервная копия сохранена: ")
            + backupPath;
    QCOMPARE(closer->boxes().constFirst().text,
             message + QStringLiteral("\n\nЛог: ") + QDir(tmp).filePath(LogName));
    QCOMPARE(readFile(installation.handoffPath), "error\n" + message.toUtf8());
    QVERIFY(updateLog().endsWith("\nUpdate error: " + message.toUtf8() + '\n'));

    QTest::qWait(300);
    QVERIFY(clientLaunches().isEmpty());
    dialog.reset();
    QCOMPARE(readFile(backupPath + QStringLiteral("/bin/core.dat")), QByteArray("old core"));
}

void TestUpdateDialog::failurePathRunsOnlyOnce()
{
    const Installation installation = makeInstallation(QStringLiteral("once"));
    dialog = makeDialog(installation, {QStringLiteral("a")});
    dialog->show();
    QTRY_COMPARE(readFile(installation.handoffPath), QByteArray("ready"));

    // A second failure while the first one's box is open, and later ones after it: no effect.
    closer->setAnswering(false);
    bool secondReturned = false;
    QTimer::singleShot(200, this, [&] {
        dialog->finishWithError(QStringLiteral("second"), true);
        secondReturned = true;
        closer->setAnswering(true);
    });
    dialog->finishWithError(QStringLiteral("first %2 stays"), true);
    QVERIFY(secondReturned);
    dialog->finishWithError(QStringLiteral("third"), true);
    dialog->onProcessFinished(1, QProcess::NormalExit);

    QCOMPARE(closer->boxes().size(), 1);
    QCOMPARE(closer->boxes().constFirst().text,
             QStringLiteral("first %2 stays\n\nЛог: ") + QDir(tmp).filePath(LogName));
    QCOMPARE(readFile(installation.handoffPath), QByteArray("error\nfirst %2 stays"));
    QCOMPARE(dialog->logTail, QByteArray("\nUpdate error: first %2 stays\n"));
    QCOMPARE(updateLog(),
             "Repository: " + installation.repository.toUtf8()
                     + "\n\nUpdate error: first %2 stays\n");
    QTRY_COMPARE(clientLaunches().size(), 1);
    QCOMPARE(dialog->statusLabel->text(), QStringLiteral("Не удалось установить обновление."));
}

void TestUpdateDialog::noRelaunchWhenTheUserStartedTheClientMeanwhile()
{
    const Installation installation = makeInstallation(QStringLiteral("meanwhile"));
    dialog = makeDialog(installation, {QStringLiteral("relaunched")});
    dialog->show();
    QTRY_COMPARE(readFile(installation.handoffPath), QByteArray("ready"));

    closer->setAnswering(false);
    QTimer::singleShot(100, this, [&] {
        auto client = std::make_shared<QProcess>();
        client->start(installation.clientPath, {QStringLiteral("--linger")});
        client->waitForStarted();
        lingering.append(client);
        closer->setAnswering(true);
    });
    dialog->finishWithError(QStringLiteral("failed"), true);
    QTest::qWait(300);
    const QList<QJsonObject> launches = clientLaunches();
    QCOMPARE(launches.size(), 1);
    QCOMPARE(launches.constFirst().value(QStringLiteral("args")).toVariant().toStringList(),
             QStringList {QStringLiteral("--linger")});
}

void TestUpdateDialog::exitIsJudgedAsTheProcessReportsIt_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QProcess::ExitStatus>("exitStatus");
    QTest::addColumn<QString>("message");

    QTest::newRow("negative code keeps its sign")
            << -1073741819 << QProcess::NormalExit
            << QStringLiteral("Maintenance tool завершился с кодом -1073741819.");
    QTest::newRow("crash that reports code 0")
            << 0 << QProcess::CrashExit << QStringLiteral("Maintenance tool завершился с кодом 0.");
}

void TestUpdateDialog::exitIsJudgedAsTheProcessReportsIt()
{
    QFETCH(int, exitCode);
    QFETCH(QProcess::ExitStatus, exitStatus);
    QFETCH(QString, message);

    Installation installation = makeInstallation(QStringLiteral("judge"));
    dialog = makeDialog(installation);
    dialog->show();
    QTRY_COMPARE(readFile(installation.handoffPath), QByteArray("ready"));
    dialog->onProcessFinished(exitCode, exitStatus);
    QVERIFY(dialog->finished);
    QCOMPARE(closer->boxes().size(), 1);
    QCOMPARE(readFile(installation.handoffPath), "error\n" + message.toUtf8());
}

void TestUpdateDialog::logPlantedAsSymlinkIsNotFollowed()
{
    const Installation installation = makeInstallation(QStringLiteral("symlink"));
    const QString victim = root->filePath(QStringLiteral("victim.txt"));
    QVERIFY(writeFile(victim, "precious"));
    QVERIFY(QFile::link(victim, QDir(tmp).filePath(LogName)));

    dialog = makeDialog(installation);
    HandoffAnswerer answerer(installation.handoffPath, "continue");
    dialog->show();
    QTRY_VERIFY_WITH_TIMEOUT(dialog->finished, 20000);
    QVERIFY(closer->boxes().isEmpty());
    QCOMPARE(readFile(victim), QByteArray("precious"));
    QVERIFY(QFileInfo(QDir(tmp).filePath(LogName)).isSymLink());
    QVERIFY(dialog->logTail.startsWith("Installation backup created.\n"));
}

void TestUpdateDialog::unconfirmedHandoffTimesOutAfterFifteenSeconds()
{
    // Three installations wait side by side, so the real limit is paid once.
    struct Case
    {
        QByteArray answer;
        Installation installation;
        std::unique_ptr<UpdateDialog> dialog;
        std::unique_ptr<HandoffAnswerer> answerer;
    };
    std::vector<Case> cases;
    cases.push_back({"continue\n", makeInstallation(QStringLiteral("line-end")), nullptr, nullptr});
    cases.push_back({"CONTINUE", makeInstallation(QStringLiteral("capitals")), nullptr, nullptr});
    cases.push_back({"continue" + QByteArray(4 << 20, ' '),
                     makeInstallation(QStringLiteral("long")), nullptr, nullptr});
    cases.push_back({QByteArray(), makeInstallation(QStringLiteral("deleted")), nullptr, nullptr});
    cases.push_back({"fifo", makeInstallation(QStringLiteral("fifo")), nullptr, nullptr});

    for (Case &c : cases) {
        c.dialog = makeDialog(c.installation);
        c.dialog->show();
    }
    for (Case &c : cases) {
        QTRY_COMPARE(readFile(c.installation.handoffPath), QByteArray("ready"));
        if (c.answer.isEmpty()) {
            QVERIFY(QFile::remove(c.installation.handoffPath));
        } else if (c.answer == "fifo") {
            // Opening a FIFO for reading blocks until a writer comes: it must never be opened.
            QVERIFY(QFile::remove(c.installation.handoffPath));
            QCOMPARE(::mkfifo(QFile::encodeName(c.installation.handoffPath).constData(), 0600), 0);
        } else
            c.answerer = std::make_unique<HandoffAnswerer>(c.installation.handoffPath, c.answer);
    }

    QElapsedTimer elapsed;
    elapsed.start();
    for (Case &c : cases)
        QTRY_VERIFY_WITH_TIMEOUT(c.dialog->finished, 25000);
    QVERIFY(elapsed.elapsed() > 10000);

    const QString message
            = QStringLiteral("Клиент не подтвердил начало обновления. Повторите попытку.");
    QTRY_COMPARE(closer->boxes().size(), int(cases.size()));
    for (Case &c : cases) {
        QCOMPARE(readFile(c.installation.handoffPath), "error\n" + message.toUtf8());
        QVERIFY(c.dialog->backup.backupPath().isEmpty());
        c.dialog.reset();
    }
    QVERIFY(clientLaunches().isEmpty());
}

void TestUpdateDialog::clientStillRunningTimesOutAfterThirtySeconds()
{
    Installation installation = makeInstallation(QStringLiteral("running"));
    installation.handoffPath.clear();
    QStringList processIds;
    for (int i = 0; i < 2; ++i) {
        auto client = std::make_shared<QProcess>();
        client->start(installation.clientPath, {QStringLiteral("--linger")});
        QVERIFY(client->waitForStarted());
        processIds.append(QString::number(client->processId()));
        lingering.append(client);
    }
    std::sort(processIds.begin(), processIds.end(),
              [](const QString &a, const QString &b) { return a.toLongLong() < b.toLongLong(); });
    QTRY_COMPARE(clientLaunches().size(), 2);
    QFile::remove(clientRecord);

    dialog = makeDialog(installation);
    dialog->show();
    QTRY_COMPARE(dialog->statusLabel->text(), QStringLiteral("Ожидание закрытия Kestrova..."));
    QTRY_COMPARE_WITH_TIMEOUT(
            dialog->statusLabel->text(),
            QStringLiteral("Ожидание закрытия Kestrova. Закройте также другие копии приложения."),
            5000);
    QVERIFY(!dialog->finished);
    QTRY_VERIFY_WITH_TIMEOUT(dialog->finished, 35000);
    QTRY_COMPARE(closer->boxes().size(), 1);

    const QString joined = processIds.join(QStringLiteral(", "));
    const QString message = QStringLiteral("Kestrova ещё запущен. Закройте все его окна, включая "
                                           "тестовую версию, и повторите обновление. Процессы: %1.")
                                    .arg(joined);
    QCOMPARE(closer->boxes().constFirst().text,
             message + QStringLiteral("\n\nЛог: ") + QDir(tmp).filePath(LogName));
    QCOMPARE(updateLog(),
             "Repository: " + installation.repository.toUtf8()
                     + "\nUpdate not started: running client PIDs: " + joined.toUtf8()
                     + "\n\nUpdate error: " + message.toUtf8() + '\n');
    QCOMPARE(readFile(installation.directory + QStringLiteral("/bin/core.dat")),
             QByteArray("old core"));
    QVERIFY(clientLaunches().isEmpty());
}

QTEST_MAIN(TestUpdateDialog)
#include "tst_update_dialog.moc"
