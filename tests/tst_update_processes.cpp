#include "update_processes.h"

#include "test_files.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <QUuid>

#include <algorithm>
#include <memory>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The running copies of a client are found by the file name of their executable. The copies here
// are of sleep(1), under names that nothing else on the machine runs under.
class tst_UpdateProcesses : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void matchesTheWholeFileNameInAnyLetterCase_data();
    void matchesTheWholeFileNameInAnyLetterCase();
    void listsEveryCopyInAscendingIdOrder();
    void skipsAnExitedChildThatWasNotWaitedFor();

private:
    // Starts a copy named fileName in directory; its process id, empty on failure.
    QString start(const QString &directory, const QString &fileName);

    std::unique_ptr<TestDirectory> dir;
    std::vector<std::unique_ptr<QProcess>> started;
};

namespace {

// Letters in both cases, so that a comparison that respects case tells spellings apart.
QString uniqueName(const QString &stem = u"Corvane"_s)
{
    return stem + u'-' + QUuid::createUuid().toString(QUuid::Id128).left(12) + u".exe"_s;
}

} // namespace

void tst_UpdateProcesses::init()
{
    started.clear(); // QProcess kills what still runs
    dir.reset();
    dir = std::make_unique<TestDirectory>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
}

QString tst_UpdateProcesses::start(const QString &directory, const QString &fileName)
{
    const QString path = dir->filePath(directory + u'/' + fileName);
    if (!QFileInfo::exists(path)
        && (!writeFile(path, readFile(u"/bin/sleep"_s)) || !setFileMode(path, 0755)))
        return QString();
    started.push_back(std::make_unique<QProcess>());
    started.back()->start(path, {u"120"_s});
    return started.back()->waitForStarted() ? QString::number(started.back()->processId())
                                            : QString();
}

void tst_UpdateProcesses::matchesTheWholeFileNameInAnyLetterCase_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("then"); // what happens to the executable after the start
    QTest::addColumn<bool>("found");

    const QString name = uniqueName();
    const QString cyrillic = uniqueName(u"Корване"_s);
    QTest::newRow("same name") << name << name << QString() << true;
    QTest::newRow("upper case") << name << name.toUpper() << QString() << true;
    QTest::newRow("lower case") << name << name.toLower() << QString() << true;
    QTest::newRow("Cyrillic in upper case") << cyrillic << cyrillic.toUpper() << QString() << true;
    QTest::newRow("without the extension") << name << name.chopped(4) << QString() << false;
    QTest::newRow("only the start") << name << name.left(12) << QString() << false;
    QTest::newRow("only the end") << name << name.mid(1) << QString() << false;
    QTest::newRow("longer") << name << name + u' ' << QString() << false;
    QTest::newRow("with a directory") << name << u"bin/"_s + name << QString() << false;
    // An installer swaps files under a running program; Linux then names the executable
    // "<path> (deleted)".
    QTest::newRow("file removed") << name << name << u"removed"_s << true;
    QTest::newRow("file replaced") << name << name << u"replaced"_s << true;
}

void tst_UpdateProcesses::matchesTheWholeFileNameInAnyLetterCase()
{
    QFETCH(QString, fileName);
    QFETCH(QString, query);
    QFETCH(QString, then);
    QFETCH(bool, found);
    const QString processId = start(u"bin"_s, fileName);
    QVERIFY(!processId.isEmpty());
    if (!then.isEmpty())
        QVERIFY(QFile::remove(dir->filePath(u"bin/"_s + fileName)));
    if (then == QLatin1String("replaced"))
        QVERIFY(writeFile(dir->filePath(u"bin/"_s + fileName), "new version"));

    const RunningProcesses result = UpdateProcesses::running(query);
    QCOMPARE(result.windowsError, 0u);
    QCOMPARE(result.processIds, found ? QStringList {processId} : QStringList());
}

void tst_UpdateProcesses::listsEveryCopyInAscendingIdOrder()
{
    // Copies in other directories count as well: only the file name is compared.
    const QString name = uniqueName();
    QStringList expected = {start(u"one"_s, name), start(u"two"_s, name), start(u"one"_s, name)};
    QVERIFY(!expected.contains(QString()));
    std::sort(expected.begin(), expected.end(),
              [](const QString &a, const QString &b) { return a.toLongLong() < b.toLongLong(); });

    const RunningProcesses result = UpdateProcesses::running(name);
    QCOMPARE(result.windowsError, 0u);
    QCOMPARE(result.processIds, expected);
}

void tst_UpdateProcesses::skipsAnExitedChildThatWasNotWaitedFor()
{
    // Until it is waited for, an exited child keeps a /proc entry without an executable; it runs
    // nothing and must not hold the update up, while the calling process is listed.
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0)
        _exit(0);
    QTRY_VERIFY(readFile(u"/proc/%1/stat"_s.arg(child)).contains(") Z "));

    const RunningProcesses result = UpdateProcesses::running(
            QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QCOMPARE(waitpid(child, nullptr, 0), child);
    QCOMPARE(result.windowsError, 0u);
    QVERIFY(result.processIds.contains(QString::number(QCoreApplication::applicationPid())));
    QVERIFY(!result.processIds.contains(QString::number(child)));
}

QTEST_GUILESS_MAIN(tst_UpdateProcesses)
#include "tst_update_processes.moc"
