#include "helper_copy.h"
#include "update_client.h"
#include "update_handoff.h"
#include "update_logon_entry.h"

#include "test_files.h"

#include <QDir>
#include <QStandardPaths>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(HandoffOutcome)

// The client's side of an update: the handoff file and starting the helper. Handing an update
// over to the real helper is the black-box test's part.
class tst_ClientKit : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void onlyExactRecordsAreAnsweredOrReported_data();
    void onlyExactRecordsAreAnsweredOrReported();
    void clearEmptiesTheFileAndMakesNone();
    void privateFilePathIsPerInstallationAndForTheOwnerOnly();
    void startHelperEmptiesAnEarlierRecordOnlyWhenItStarts();
    void aCopyALogonEntryStartsOutlivesTheSweep();
    void noPendingUpdateWithoutAPathToName();

private:
    QString path(const QString &relativePath) const { return dir->filePath(relativePath); }

    std::unique_ptr<TestDirectory> dir;
};

void tst_ClientKit::init()
{
    dir.reset();
    dir = std::make_unique<TestDirectory>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
}

void tst_ClientKit::onlyExactRecordsAreAnsweredOrReported_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<HandoffOutcome>("outcome");
    QTest::addColumn<QString>("error"); // what readError() reads; null when it reads nothing

    QTest::newRow("ready") << "ready"_ba << HandoffOutcome::Confirmed << QString();
    QTest::newRow("ready with a line feed")
            << "ready\n"_ba << HandoffOutcome::TimedOut << QString();
    QTest::newRow("already answered") << "continue"_ba << HandoffOutcome::TimedOut << QString();
    QTest::newRow("no file") << QByteArray() << HandoffOutcome::TimedOut << QString();
    QTest::newRow("error over lines")
            << "error\nсбой.\n\n%1 не удалось."_ba << HandoffOutcome::HelperFailed
            << u"сбой.\n\n%1 не удалось."_s;
    QTest::newRow("error without a message")
            << "error\n"_ba << HandoffOutcome::HelperFailed << u""_s;
    QTest::newRow("error without a line feed")
            << "error"_ba << HandoffOutcome::TimedOut << QString();
    QTest::newRow("error in capitals") << "ERROR\nx"_ba << HandoffOutcome::TimedOut << QString();
}

void tst_ClientKit::onlyExactRecordsAreAnsweredOrReported()
{
    QFETCH(QByteArray, content);
    QFETCH(HandoffOutcome, outcome);
    QFETCH(QString, error);
    const QString handoff = path(u"handoff"_s);
    if (!content.isNull())
        QVERIFY(writeFile(handoff, content));

    QString message;
    QCOMPARE(UpdateHandoff::readError(handoff, message), !error.isNull());
    QCOMPARE(message, error);
    const HandoffResult result = UpdateHandoff::answer(handoff, 300);
    QCOMPARE(result.outcome, outcome);
    QCOMPARE(result.errorMessage, error);
    QCOMPARE(readFile(handoff),
             outcome == HandoffOutcome::Confirmed ? "continue"_ba
                     : content.isNull()           ? "<missing>"_ba
                                                  : content);
}

void tst_ClientKit::clearEmptiesTheFileAndMakesNone()
{
    const QString handoff = path(u"handoff"_s);
    QVERIFY(UpdateHandoff::clear(handoff));
    QVERIFY(!QFileInfo::exists(handoff));
    QVERIFY(writeFile(handoff, "error\nсбой") && setFileMode(handoff, 0600));
    QVERIFY(UpdateHandoff::clear(handoff));
    QCOMPARE(readFile(handoff), QByteArray());
    QCOMPARE(fileMode(handoff), 0600u);
    // Something else at the path is reported, not taken for cleared.
    QVERIFY(QDir().mkpath(path(u"folder"_s)));
    QVERIFY(!UpdateHandoff::clear(path(u"folder"_s)));
}

void tst_ClientKit::privateFilePathIsPerInstallationAndForTheOwnerOnly()
{
    const QString base = path(u"data/update"_s);
    QVERIFY(writeFile(path(u"Corvane.exe"_s), "client"));
    QVERIFY(writeFile(path(u"other/Corvane.exe"_s), "client"));
    const QString handoff = UpdateHandoff::privateFilePath(path(u"Corvane.exe"_s), base);
    QCOMPARE(QFileInfo(handoff).path(), base);
    QCOMPARE(UpdateHandoff::privateFilePath(path(u"./Corvane.exe"_s), base), handoff);
    QVERIFY(UpdateHandoff::privateFilePath(path(u"other/Corvane.exe"_s), base) != handoff);
    QCOMPARE(fileMode(base), 0700u);
    QCOMPARE(fileMode(handoff), 0600u);

    // The answer replaces the file and keeps it private; a failure record waits for the next start.
    QVERIFY(writeFile(handoff, "ready"));
    QCOMPARE(UpdateHandoff::answer(handoff, 1000).outcome, HandoffOutcome::Confirmed);
    QCOMPARE(fileMode(handoff), 0600u);
    QVERIFY(writeFile(handoff, "error\nсбой"));
    QCOMPARE(UpdateHandoff::privateFilePath(path(u"Corvane.exe"_s), base), handoff);
    QCOMPARE(readFile(handoff), "error\nсбой"_ba);
    QCOMPARE(UpdateHandoff::privateFilePath(path(u"Corvane.exe"_s), path(u"Corvane.exe/x"_s)),
             QString());
}

void tst_ClientKit::startHelperEmptiesAnEarlierRecordOnlyWhenItStarts()
{
    QVERIFY(writeFile(path(u"handoff"_s), "ready"));
    UpdateHelperSettings settings;
    settings.helperPath = QStandardPaths::findExecutable(u"true"_s);
    settings.maintenanceToolPath = path(u"tool"_s);
    settings.applicationPath = path(u"Corvane.exe"_s);
    settings.workingDirectory = dir->path();
    settings.handoffFilePath = path(u"handoff"_s);

    // The helper would refuse an empty value only after it has shown a message box.
    QString error;
    QVERIFY(!UpdateClient::startHelper(settings, error));
    QVERIFY2(error.contains(u"repository URL"_s), qPrintable(error));
    QCOMPARE(readFile(path(u"handoff"_s)), QByteArray("ready"));
    settings.repositoryUrl = path(u"repo"_s);
    QVERIFY2(UpdateClient::startHelper(settings, error), qPrintable(error));
    QCOMPARE(readFile(path(u"handoff"_s)), QByteArray());
    settings.helperPath = path(u"no such helper"_s);
    QVERIFY(!UpdateClient::startHelper(settings, error));
    QVERIFY2(error.contains(settings.helperPath), qPrintable(error));
}

void tst_ClientKit::aCopyALogonEntryStartsOutlivesTheSweep()
{
    // The copies of earlier starts, which no process runs: each start sweeps them.
    const QDir copies(path(u"copies"_s));
    for (const QString &name : {u"helper-Entry1"_s, u"helper-Other2"_s})
        QVERIFY(writeFile(copies.filePath(name + u"/updater_helper"_s), "helper"));
    const QString entry = u"Kestrova-update-test"_s;
    QString error;
    QVERIFY2(UpdateLogonEntry::write(entry, copies.filePath(u"helper-Entry1/updater_helper"_s), {},
                                     error),
             qPrintable(error));
    HelperCopy::removeOld(copies.path());
    QCOMPARE(copies.entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList {u"helper-Entry1"_s});
    QVERIFY(UpdateLogonEntry::remove(entry));
    HelperCopy::removeOld(copies.path());
    QCOMPARE(copies.entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
}

// A client started from a folder that is gone (its test directory removed, say) may ask with a
// relative or an empty path; the answer must come all the same.
void tst_ClientKit::noPendingUpdateWithoutAPathToName()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString gone = dir.filePath(u"gone"_s);
    const QString before = QDir::currentPath();
    QVERIFY(QDir().mkpath(gone) && QDir::setCurrent(gone) && QDir().rmdir(gone));
    const bool relative = UpdateClient::interruptedUpdatePending(u"Corvane"_s);
    QVERIFY(QDir::setCurrent(before));
    QVERIFY(!relative);
    QVERIFY(!UpdateClient::interruptedUpdatePending(QString()));
}

QTEST_GUILESS_MAIN(tst_ClientKit)
#include "tst_client_kit.moc"
