#include "update_handoff.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(HandoffOutcome)

class TestUpdateHandoff : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void answerConfirmsOnlyAnExactReady_data();
    void answerConfirmsOnlyAnExactReady();
    void answerOnceWaitsForAReadyThatComesLater();
    void readErrorTakesOnlyAnErrorRecord_data();
    void readErrorTakesOnlyAnErrorRecord();
    void clearEmptiesTheFileAndCreatesNone();
    void privateFilePathIsPerInstallationAndOwnerOnly();
    void privateFilePathDefaultsToTheLocalDataDirectory();
    void privateFilePathFailsWhereNoDirectoryCanBe();

private:
    QString path(const QString &relativePath) const { return dir->filePath(relativePath); }

    // The temporary directory the test started with; each test points TMPDIR into its own.
    QString baseTemporaryPath;
    std::unique_ptr<QTemporaryDir> dir;
};

void TestUpdateHandoff::initTestCase()
{
    baseTemporaryPath = QDir::tempPath();
}

void TestUpdateHandoff::init()
{
    dir = std::make_unique<QTemporaryDir>(baseTemporaryPath
                                          + QLatin1String("/tst_update_handoff-XXXXXX"));
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    qputenv("TMPDIR", QFile::encodeName(dir->path()));
}

void TestUpdateHandoff::answerConfirmsOnlyAnExactReady_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<HandoffOutcome>("outcome");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("finalContent");

    QTest::newRow("ready") << QByteArray("ready") << HandoffOutcome::Confirmed << QString()
                           << QByteArray("continue");
    QTest::newRow("ready with line feed") << QByteArray("ready\n") << HandoffOutcome::TimedOut
                                          << QString() << QByteArray("ready\n");
    QTest::newRow("capitals") << QByteArray("Ready") << HandoffOutcome::TimedOut << QString()
                              << QByteArray("Ready");
    QTest::newRow("already answered") << QByteArray("continue") << HandoffOutcome::TimedOut
                                      << QString() << QByteArray("continue");
    QTest::newRow("empty") << QByteArray("") << HandoffOutcome::TimedOut << QString()
                           << QByteArray("");
    QTest::newRow("no file") << QByteArray() << HandoffOutcome::TimedOut << QString()
                             << QByteArray("<missing>");
    QTest::newRow("failure record")
            << QByteArray("error\nОбновление этой установки уже выполняется.")
            << HandoffOutcome::HelperFailed
            << QStringLiteral("Обновление этой установки уже выполняется.")
            << QByteArray("error\nОбновление этой установки уже выполняется.");
}

void TestUpdateHandoff::answerConfirmsOnlyAnExactReady()
{
    QFETCH(QByteArray, content);
    QFETCH(HandoffOutcome, outcome);
    QFETCH(QString, message);
    QFETCH(QByteArray, finalContent);
    const QString handoff = path("handoff");
    if (!content.isNull())
        writeFile(handoff, content);

    const HandoffResult result = UpdateHandoff::answer(handoff, 300);

    QCOMPARE(result.outcome, outcome);
    QCOMPARE(result.errorMessage, message);
    QCOMPARE(readFile(handoff), finalContent);
}

void TestUpdateHandoff::answerOnceWaitsForAReadyThatComesLater()
{
    const QString handoff = path("handoff");
    QCOMPARE(UpdateHandoff::answerOnce(handoff).outcome, HandoffOutcome::Pending);
    QVERIFY(!QFile::exists(handoff));
    writeFile(handoff, "");
    QCOMPARE(UpdateHandoff::answerOnce(handoff).outcome, HandoffOutcome::Pending);
    QCOMPARE(readFile(handoff), QByteArray());

    writeFile(handoff, "ready");
    QCOMPARE(UpdateHandoff::answerOnce(handoff).outcome, HandoffOutcome::Confirmed);
    QCOMPARE(readFile(handoff), QByteArray("continue"));
    QCOMPARE(UpdateHandoff::answerOnce(handoff).outcome, HandoffOutcome::Pending);
}

void TestUpdateHandoff::readErrorTakesOnlyAnErrorRecord_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("isError");
    QTest::addColumn<QString>("message");

    QTest::newRow("message over lines")
            << QByteArray("error\nНе удалось.\n\nНе удалось восстановить bin/a.dll.") << true
            << QStringLiteral("Не удалось.\n\nНе удалось восстановить bin/a.dll.");
    QTest::newRow("empty message") << QByteArray("error\n") << true << QString("");
    QTest::newRow("percent signs kept")
            << QByteArray("error\n100% %1 %2") << true << QStringLiteral("100% %1 %2");
    QTest::newRow("no line feed") << QByteArray("error") << false << QString();
    QTest::newRow("capitals") << QByteArray("ERROR\nx") << false << QString();
    QTest::newRow("carriage return") << QByteArray("error\r\nx") << false << QString();
    QTest::newRow("ready") << QByteArray("ready") << false << QString();
    QTest::newRow("continue") << QByteArray("continue") << false << QString();
}

void TestUpdateHandoff::readErrorTakesOnlyAnErrorRecord()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, isError);
    QFETCH(QString, message);
    writeFile(path("handoff"), content);

    QString read;
    QCOMPARE(UpdateHandoff::readError(path("handoff"), read), isError);
    QCOMPARE(read, message);
}

void TestUpdateHandoff::clearEmptiesTheFileAndCreatesNone()
{
    const QString handoff = path("handoff");
    QVERIFY(UpdateHandoff::clear(handoff));
    QVERIFY(!QFile::exists(handoff));

    writeFile(handoff, "error\nсбой");
    QVERIFY(QFile::setPermissions(handoff, QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(UpdateHandoff::clear(handoff));
    QCOMPARE(readFile(handoff), QByteArray());
    QCOMPARE(QFile::permissions(handoff) & OwnerGroupOther, QFile::ReadOwner | QFile::WriteOwner);
    QString message;
    QVERIFY(!UpdateHandoff::readError(handoff, message));

    // Something that is not a file at the path is reported, not silently taken for cleared.
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("folder")));
    QVERIFY(!UpdateHandoff::clear(path("folder")));
}

void TestUpdateHandoff::privateFilePathIsPerInstallationAndOwnerOnly()
{
    const QString base = path("data/update");
    writeFile(path("Corvane.exe"), "client");
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("other")));
    writeFile(path("other/Corvane.exe"), "client");

    const QString first = UpdateHandoff::privateFilePath(path("Corvane.exe"), base);
    const QString again = UpdateHandoff::privateFilePath(path("./Corvane.exe"), base);
    const QString other = UpdateHandoff::privateFilePath(path("other/Corvane.exe"), base);

    QVERIFY(!first.isEmpty());
    QCOMPARE(again, first);
    QVERIFY(other != first);
    QCOMPARE(QFileInfo(first).path(), base);
    QCOMPARE(QFileInfo(base).permissions() & OwnerGroupOther,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(QFileInfo(first).permissions() & OwnerGroupOther,
             QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(readFile(first), QByteArray());

    // The helper replaces the file whole; the replacement keeps the owner-only permissions.
    writeFile(first, "ready");
    QCOMPARE(UpdateHandoff::answer(first, 1000).outcome, HandoffOutcome::Confirmed);
    QCOMPARE(QFileInfo(first).permissions() & OwnerGroupOther,
             QFile::ReadOwner | QFile::WriteOwner);

    // A failure record waits for the client's next start.
    writeFile(first, "error\nпрошлый сбой");
    QCOMPARE(UpdateHandoff::privateFilePath(path("Corvane.exe"), base), first);
    QCOMPARE(readFile(first), QByteArray("error\nпрошлый сбой"));
}

void TestUpdateHandoff::privateFilePathDefaultsToTheLocalDataDirectory()
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(path("xdg")));
    const QString handoff = UpdateHandoff::privateFilePath(path("Corvane.exe"));
    qunsetenv("XDG_DATA_HOME");

    QVERIFY2(handoff.startsWith(path("xdg") + QLatin1Char('/')), qPrintable(handoff));
    QCOMPARE(QFileInfo(handoff).dir().dirName(), QStringLiteral("update"));
    QVERIFY(QFileInfo(handoff).isFile());
}

void TestUpdateHandoff::privateFilePathFailsWhereNoDirectoryCanBe()
{
    writeFile(path("plain-file"), "in the way");
    QCOMPARE(UpdateHandoff::privateFilePath(path("Corvane.exe"), path("plain-file/below")),
             QString());
}

QTEST_GUILESS_MAIN(TestUpdateHandoff)
#include "tst_update_handoff.moc"
