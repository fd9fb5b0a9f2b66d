#include "update_dialog.h"

#include "sample_installation.h"
#include "test_files.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using namespace Qt::StringLiterals;
using Expected = SampleInstallation::Expected;

// The whole workflow in this process, offscreen, seen from outside the dialog: with the sample
// tool and a copy of the sample client, through the box texts, the log, the handoff file, the
// installation's files and the client's relaunch.
class tst_UpdateDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updateEndsAsTheToolAndTheInstallationSay_data();
    void updateEndsAsTheToolAndTheInstallationSay();
    void toolAskingToBeRunAgainIsRunAgain_data();
    void toolAskingToBeRunAgainIsRunAgain();
    void preparationFailuresLeaveARecordAndNoRelaunch_data();
    void preparationFailuresLeaveARecordAndNoRelaunch();
    void runningClientIsWaitedForAndTheDialogCannotBeClosed();
    void selfTestIsShownAndTheDialogCannotBeClosed();
    void noRelaunchWhenTheClientWasStartedMeanwhile();

private:
    SampleInstallation makeInstallation(const QString &repositoryIni = QString());
    // Shows the dialog; a client answers its handoff file as soon as it holds "ready".
    void start(const SampleInstallation &installation, const QStringList &arguments = {},
               const QString &expectedVersion = QString(), const QString &toolPath = QString());
    QString status() const
    {
        return dialog->findChild<QLabel *>(QString(), Qt::FindDirectChildrenOnly)->text();
    }
    QString logPath() const { return QDir::tempPath() + u"/Corvane-update.log"_s; }

    std::unique_ptr<TestDirectory> dir;
    std::unique_ptr<UpdateDialog> dialog;
    QTimer user;
    QString handoff; // answered, then emptied
    bool fifoFirst = false; // a FIFO stands at the handoff path for a while before the answer
    QStringList boxes;
    std::function<void()> whileBoxIsOpen; // run once when a box opens, before it is answered
    QProcess client;
};

namespace {

const QString Failed = u"Не удалось установить обновление."_s;
const QString Cancelled = u"Обновление отменено: осталась работающая копия Kestrova. Закройте все "
                          "окна приложения, включая тестовую версию, и повторите обновление."_s;
const QStringList Arguments
        = {u"--profile=Мой профиль"_s, QString(), u"-x"_s, u"a \"quoted\" %2 arg"_s};

QStringList launchArguments(const SampleInstallation &installation)
{
    return installation.launches().value(0).value(u"arguments"_s).toVariant().toStringList();
}

} // namespace

void tst_UpdateDialog::initTestCase()
{
    // The helper's name also names the update's temporary directory.
    QCoreApplication::setApplicationName(u"Corvane Updater"_s);
    // What the client and the user do: answer the handoff, and press a box's button, keeping
    // what the box said. Polled, so that it also works inside a box's own event loop.
    connect(&user, &QTimer::timeout, this, [this] {
        if (!handoff.isEmpty() && readFile(handoff) == "ready") {
            const QString path = std::exchange(handoff, QString());
            if (fifoFirst && QFile::remove(path) && makeFifo(path))
                QTimer::singleShot(500, this, [path] { replaceFile(path, "continue"); });
            else
                replaceFile(path, "continue");
        }
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box->property("seen").toBool())
            return;
        box->setProperty("seen", true);
        if (whileBoxIsOpen)
            std::exchange(whileBoxIsOpen, nullptr)();
        boxes.append(box->text());
        box->buttons().constFirst()->click();
    });
    user.start(10);
}

void tst_UpdateDialog::init()
{
    dir = std::make_unique<TestDirectory>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    boxes.clear();
    fifoFirst = false;
}

void tst_UpdateDialog::cleanup()
{
    handoff.clear();
    whileBoxIsOpen = nullptr;
    client.kill();
    client.waitForFinished();
    dialog.reset();
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
    dir.reset();
}

SampleInstallation tst_UpdateDialog::makeInstallation(const QString &repositoryIni)
{
    // Running copies are found by file name across the machine: each test's client has its own.
    SampleInstallation installation(dir->filePath(u"Установка App"_s),
                                    u"Corvane-%1.exe"_s.arg(QCoreApplication::applicationPid()));
    QString error;
    if (!installation.create(QStringLiteral(SAMPLE_CLIENT_PATH), repositoryIni, error))
        qWarning("%s", qPrintable(error));
    qputenv("SAMPLE_CLIENT_RECORD", QFile::encodeName(installation.launchRecord));
    qputenv("SAMPLE_TOOL_RECORD", QFile::encodeName(installation.toolRecord));
    return installation;
}

void tst_UpdateDialog::start(const SampleInstallation &installation, const QStringList &arguments,
                             const QString &expectedVersion, const QString &toolPath)
{
    handoff = installation.handoff;
    dialog = std::make_unique<UpdateDialog>(
            toolPath.isEmpty() ? QStringLiteral(SAMPLE_MAINTENANCE_TOOL_PATH) : toolPath,
            installation.repository, installation.clientPath, installation.directory,
            installation.handoff, arguments, expectedVersion);
    dialog->show();
}

void tst_UpdateDialog::updateEndsAsTheToolAndTheInstallationSay_data()
{
    QTest::addColumn<QString>("repositoryIni");
    QTest::addColumn<QString>("expectedVersion");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("message"); // the failure's message or its start; null: success

    const QString none;
    const QString code1 = u"Maintenance tool завершился с кодом 1."_s;
    const QString code5 = u"Maintenance tool завершился с кодом 5."_s;
    QTest::newRow("success") << u""_s << u"2.0.0"_s << none << none;
    QTest::newRow("success with both markers") << u"markers=true"_s << u"2.0.0"_s << none << none;
    QTest::newRow("exit 1 with both markers")
            << u"exitCode=1\nmarkers=true"_s << none << none << Cancelled;
    QTest::newRow("exit 1 without markers") << u"exitCode=1"_s << none << none << code1;
    QTest::newRow("markers 15000 bytes before the end")
            << u"exitCode=1\nmarkers=true\nfloodBytes=15000"_s << none << none << Cancelled;
    QTest::newRow("markers scrolled out of the last 16 KiB")
            << u"exitCode=1\nmarkers=true\nfloodBytes=17000"_s << none << none << code1;
    QTest::newRow("crash with both markers")
            << u"crash=true\nmarkers=true"_s << none << none << Cancelled;
    QTest::newRow("other version installed")
            << u""_s << u"2.0.0.0 %2"_s << none
            << u"Установщик завершился, но версия 2.0.0.0 %2 не установлена. Проверьте журнал и "
               "повторите обновление."_s;
    QTest::newRow("tool cannot start") << u""_s << none << u"tool is a directory"_s
                                       << u"Не удалось запустить maintenancetool.exe: "_s;
    QTest::newRow("backup fails") << u""_s << none << u"dangling link installed"_s
                                  << u"Не удалось сохранить резервную копию: lib/gone.dat"_s;
    // Entries someone planted where the helper writes: never followed, never blocking.
    QTest::newRow("link at the log path") << u""_s << none << u"log link"_s << none;
    QTest::newRow("dangling link at the log path") << u""_s << none << u"log dangling"_s << none;
    QTest::newRow("FIFO at the log path") << u""_s << none << u"log fifo"_s << none;
    QTest::newRow("directory at the log path") << u""_s << none << u"log directory"_s << none;
    QTest::newRow("FIFO as the handoff file for a while")
            << u""_s << none << u"handoff fifo"_s << none;
    // The log and the lock in the installation are not part of its backup.
    QTest::newRow("temporary directory inside, failed update")
            << u"exitCode=5"_s << none << u"tmp"_s << code5;
    QTest::newRow("temporary directory is the installation, failed update")
            << u"exitCode=5"_s << none << u"."_s << code5;
    QTest::newRow("temporary directory inside, success") << u""_s << none << u"tmp"_s << none;
}

void tst_UpdateDialog::updateEndsAsTheToolAndTheInstallationSay()
{
    QFETCH(QString, repositoryIni);
    QFETCH(QString, expectedVersion);
    QFETCH(QString, setup);
    QFETCH(QString, message);

    const SampleInstallation installation = makeInstallation(repositoryIni);
    const QString victim = dir->filePath(u"victim.txt"_s);
    QString toolPath;
    if (setup == QLatin1String("tool is a directory")) {
        // It exists, so the preparation's check passes, but it cannot be run.
        toolPath = dir->filePath(u"maintenancetool.exe"_s);
        QVERIFY(QDir().mkpath(toolPath));
    } else if (setup == QLatin1String("dangling link installed")) {
        QVERIFY(QFile::link(victim, installation.directory + u"/lib/gone.dat"_s));
    } else if (setup == QLatin1String("log link")) {
        QVERIFY(writeFile(victim, "not the helper's") && QFile::link(victim, logPath()));
    } else if (setup == QLatin1String("log dangling")) {
        QVERIFY(QFile::link(victim, logPath()));
    } else if (setup == QLatin1String("log fifo")) {
        QVERIFY(makeFifo(logPath()));
    } else if (setup == QLatin1String("log directory")) {
        QVERIFY(QDir().mkpath(logPath()));
    } else if (setup == QLatin1String("tmp") || setup == QLatin1String(".")) {
        QVERIFY(QDir(installation.directory).mkpath(setup));
        qputenv("TMPDIR", QFile::encodeName(QDir(installation.directory).filePath(setup)));
    }
    fifoFirst = setup == QLatin1String("handoff fifo");
    start(installation, Arguments, expectedVersion, toolPath);

    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 20000);
    QTest::qWait(200);
    const QByteArray log = readFile(logPath());
    const QStringList ignored = {QDir(installation.directory).relativeFilePath(logPath())};
    QCOMPARE(readFile(victim),
             setup == QLatin1String("log link") ? "not the helper's"_ba : "<missing>"_ba);
    // The old client after a failure, the new one after a success, with its arguments.
    QCOMPARE(launchArguments(installation), Arguments);
    if (message.isNull()) {
        QCOMPARE(boxes, QStringList());
        QCOMPARE(status(), u"Обновление завершено. Запуск Corvane..."_s);
        QCOMPARE(readFile(installation.handoff), QByteArray("continue"));
        dialog.reset(); // and with it the lock
        VERIFY_FILES(installation, Expected::New, ignored);
        QVERIFY2(setup.startsWith(u"log"_s)
                         || (log.startsWith("Repository: " + installation.repository.toUtf8()
                                            + "\nInstallation backup created.\n")
                             && log.contains("\nInstalling payload/lib/engine.dat\n")
                             && !log.contains("Update error")),
                 log.constData());
        return;
    }
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes.constFirst().startsWith(message)
                     && boxes.constFirst().endsWith(u"\n\nЛог: "_s + logPath()),
             qPrintable(boxes.constFirst()));
    const QByteArray full = boxes.constFirst().chopped(logPath().size() + 7).toUtf8();
    QCOMPARE(readFile(installation.handoff), "error\n" + full);
    // The whole run is in the log, the tool's output too.
    QVERIFY2(log.startsWith("Repository: " + installation.repository.toUtf8() + '\n')
                     && log.endsWith("\nUpdate error: " + full + '\n')
                     && (installation.toolRuns().isEmpty()
                         || log.contains("\nInstalling payload/lib/engine.dat\n")),
             log.constData());
    QCOMPARE(status(), Failed);
    dialog.reset();
    VERIFY_FILES(installation, Expected::Old, ignored);
}

void tst_UpdateDialog::toolAskingToBeRunAgainIsRunAgain_data()
{
    // repositoryIni: what the sample tool does at each run ([runN] for the Nth); runs: how often
    // it is run; message: the failure's message, null for success.
    QTest::addColumn<QString>("repositoryIni");
    QTest::addColumn<int>("runs");
    QTest::addColumn<QString>("message");
    const QString nothingLeft = u"exitCode=3\napplyPayload=false\nsays=No updates available."_s;
    const QString code = u"Maintenance tool завершился с кодом %1."_s;
    QTest::newRow("6, then 0") << u"exitCode=6\n[run2]\nexitCode=0"_s << 2 << QString();
    QTest::newRow("6, 6, then 0") << u"exitCode=6\n[run3]\nexitCode=0"_s << 3 << QString();
    QTest::newRow("6, then nothing left")
            << u"exitCode=6\n[run2]\n"_s + nothingLeft << 2 << QString();
    QTest::newRow("nothing to update at the first run") << nothingLeft << 1 << code.arg(3);
    QTest::newRow("6, then 3 without saying why")
            << u"exitCode=6\n[run2]\nexitCode=3"_s << 2 << code.arg(3);
    QTest::newRow("6, then 1") << u"exitCode=6\n[run2]\nexitCode=1"_s << 2 << code.arg(1);
    QTest::newRow("6, then 1 with both markers")
            << u"exitCode=6\n[run2]\nexitCode=1\nmarkers=true"_s << 2 << Cancelled;
    // Markers count only in the run that printed them.
    QTest::newRow("6 with both markers, then 1")
            << u"exitCode=6\nmarkers=true\n[run2]\nexitCode=1\nmarkers=false"_s << 2 << code.arg(1);
    QTest::newRow("6 at every run")
            << u"exitCode=6"_s << 4
            << u"Maintenance tool после 4 запусков подряд всё ещё просит запустить его снова (код "
               "6). Обновление не завершено."_s;
}

void tst_UpdateDialog::toolAskingToBeRunAgainIsRunAgain()
{
    QFETCH(QString, repositoryIni);
    QFETCH(int, runs);
    QFETCH(QString, message);
    const SampleInstallation installation = makeInstallation(repositoryIni);
    start(installation, Arguments, u"2.0.0"_s);

    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 20000);
    QCOMPARE(launchArguments(installation), Arguments);
    // Every run with the same arguments, the cache directory included, one backup for all.
    const QList<QStringList> toolRuns = installation.toolRuns();
    QCOMPARE(toolRuns.size(), runs);
    QCOMPARE(toolRuns.count(toolRuns.constFirst()), runs);
    const QByteArray log = readFile(logPath());
    QCOMPARE(log.count("Installation backup created."), 1);
    QCOMPARE(log.count("Maintenance tool exited with code 6 (essential components updated); "
                       "starting it again: run "),
             runs - 1);
    QCOMPARE(readFile(installation.handoff),
             message.isNull() ? "continue"_ba : "error\n" + message.toUtf8());
    QCOMPARE(boxes.size(), message.isNull() ? 0 : 1);
    dialog.reset();
    VERIFY_FILES(installation, message.isNull() ? Expected::New : Expected::Old);
}

void tst_UpdateDialog::preparationFailuresLeaveARecordAndNoRelaunch_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("message");

    const QString missing = u"Не найдены файлы клиента или программы обновления."_s;
    QTest::newRow("temporary directory not made")
            << u"tmp"_s << u"Не удалось создать временный каталог обновления."_s;
    QTest::newRow("maintenance tool missing") << u"tool"_s << missing;
    QTest::newRow("client missing") << u"client"_s << missing;
    QTest::newRow("handoff file cannot be written")
            << u"handoff"_s << u"Не удалось подготовить передачу управления обновлению."_s;
}

void tst_UpdateDialog::preparationFailuresLeaveARecordAndNoRelaunch()
{
    QFETCH(QString, failure);
    QFETCH(QString, message);

    SampleInstallation installation = makeInstallation();
    QVERIFY(writeFile(logPath(), "log of an earlier run"));
    if (failure == QLatin1String("client"))
        installation.clientPath = installation.directory + u"/no-such-client.exe"_s;
    else if (failure == QLatin1String("handoff"))
        QVERIFY(QDir().mkpath(installation.handoff));
    // The update's own directory is made with the dialog, the lock only later.
    const QByteArray tmp = qgetenv("TMPDIR");
    if (failure == QLatin1String("tmp"))
        qputenv("TMPDIR", QFile::encodeName(installation.repository + u"/repository.ini"_s));
    start(installation, {u"x"_s}, QString(),
          failure == QLatin1String("tool") ? dir->filePath(u"no-such-tool"_s) : QString());
    qputenv("TMPDIR", tmp);

    QTRY_COMPARE(boxes.size(), 1);
    QCOMPARE(boxes.constFirst(), message + u"\n\nЛог: "_s + logPath());
    if (failure != QLatin1String("handoff"))
        QCOMPARE(readFile(installation.handoff), "error\n" + message.toUtf8());
    QCOMPARE(readFile(logPath()),
             failure == QLatin1String("handoff") ? "Repository: " + installation.repository.toUtf8()
                             + "\n\nUpdate error: " + message.toUtf8() + '\n'
                                                 : QByteArray("log of an earlier run"));
    QTest::qWait(300);
    QCOMPARE(installation.launches().size(), 0);
    QCOMPARE(installation.toolRuns().size(), 0);
}

void tst_UpdateDialog::runningClientIsWaitedForAndTheDialogCannotBeClosed()
{
    SampleInstallation installation = makeInstallation();
    installation.handoff.clear();
    client.start(installation.clientPath, {u"--stay-running-ms"_s, u"120000"_s});
    QVERIFY(client.waitForStarted());
    start(installation);
    QTRY_COMPARE(status(), u"Ожидание закрытия Kestrova..."_s);
    QVERIFY(!dialog->close());
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QVERIFY(dialog->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(
            status(), u"Ожидание закрытия Kestrova. Закройте также другие копии приложения."_s,
            5000);
    QCOMPARE(installation.toolRuns().size(), 0);

    client.kill();
    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 2, 20000);
    QCOMPARE(boxes, QStringList());
    VERIFY_FILES(installation, Expected::New);
    QTRY_VERIFY(dialog->close());
}

void tst_UpdateDialog::selfTestIsShownAndTheDialogCannotBeClosed()
{
    SampleInstallation installation = makeInstallation();
    QVERIFY(installation.writeNew(u"sample-self-test.txt"_s, "hang"));
    start(installation);
    dialog->setSelfTestArgument(u"--self-test"_s);
    // The new client's own record: it runs, and hangs.
    QTRY_COMPARE_WITH_TIMEOUT(installation.launches().size(), 1, 20000);
    QCOMPARE(launchArguments(installation), QStringList {u"--self-test"_s});
    QCOMPARE(status(), u"Проверка запуска новой версии Corvane..."_s);
    QVERIFY(!dialog->close());
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QVERIFY(dialog->isVisible());
    // Gone with its dialog, the client under test is judged no more: no box, no restart.
    dialog.reset();
    QTest::qWait(500);
    QCOMPARE(boxes, QStringList());
    QCOMPARE(installation.launches().size(), 1);
}

void tst_UpdateDialog::noRelaunchWhenTheClientWasStartedMeanwhile()
{
    const SampleInstallation installation = makeInstallation(u"exitCode=1"_s);
    // The user starts the client while the error box is open.
    whileBoxIsOpen = [&] {
        client.start(installation.clientPath, {u"--stay-running-ms"_s, u"120000"_s});
        QTRY_COMPARE(installation.launches().size(), 1);
    };
    start(installation);
    QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), 1, 20000);
    QTest::qWait(300);
    QCOMPARE(installation.launches().size(), 1);
}

QTEST_MAIN(tst_UpdateDialog)
#include "tst_update_dialog.moc"
