#include "update_processes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <algorithm>
#include <memory>
#include <vector>

#ifdef Q_OS_LINUX
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

class tst_UpdateProcesses : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void matchesTheWholeFileNameIgnoringLetterCase_data();
    void matchesTheWholeFileNameIgnoringLetterCase();
    void listsEveryCopyInAscendingIdOrder();
    void nameNothingRunsUnderGivesAnEmptyListAndNoError();
#ifdef Q_OS_LINUX
    void findsACopyWhoseFileWasRemovedOrReplaced_data();
    void findsACopyWhoseFileWasRemovedOrReplaced();
    void listsTheCallingProcessButNotAnExitedChild();
#endif

private:
    QString placeExecutable(const QString &directory, const QString &fileName);
    QProcess *start(const QString &executable);

    QByteArray originalTemporaryDirectory;
    std::unique_ptr<QTemporaryDir> sandbox;
    std::vector<std::unique_ptr<QProcess>> started;
};

namespace {

// A file name no other process on the machine runs under, with letters in both cases so that a
// comparison that respects case can tell the spellings apart.
QString uniqueExecutableName()
{
    return u"Corvane-%1.exe"_s.arg(QUuid::createUuid().toString(QUuid::WithoutBraces).left(13));
}

} // namespace

void tst_UpdateProcesses::initTestCase()
{
    originalTemporaryDirectory = qgetenv("TMPDIR");
    QVERIFY2(QFileInfo(QStringLiteral(LINGERING_PROCESS_PATH)).isExecutable(),
             LINGERING_PROCESS_PATH);
}

void tst_UpdateProcesses::init()
{
    sandbox = std::make_unique<QTemporaryDir>();
    QVERIFY2(sandbox->isValid(), qPrintable(sandbox->errorString()));
    qputenv("TMPDIR", QFile::encodeName(sandbox->path()));
}

void tst_UpdateProcesses::cleanup()
{
    // Each copy ends when its standard input closes; a kill by its own id is the fallback.
    for (const auto &process : started) {
        process->closeWriteChannel();
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished(10000);
        }
    }
    started.clear();
    sandbox.reset();
    qputenv("TMPDIR", originalTemporaryDirectory);
}

QString tst_UpdateProcesses::placeExecutable(const QString &directory, const QString &fileName)
{
    if (!QDir().mkpath(directory))
        return QString();
    const QString path = QDir(directory).filePath(fileName);
    return QFile::copy(QStringLiteral(LINGERING_PROCESS_PATH), path) ? path : QString();
}

QProcess *tst_UpdateProcesses::start(const QString &executable)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(executable);
    process->start();
    if (!process->waitForStarted(10000))
        return nullptr;
    started.push_back(std::move(process));
    return started.back().get();
}

void tst_UpdateProcesses::matchesTheWholeFileNameIgnoringLetterCase_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("found");

    const QString name = uniqueExecutableName();
    QTest::newRow("same name") << name << name << true;
    QTest::newRow("upper case") << name << name.toUpper() << true;
    QTest::newRow("lower case") << name << name.toLower() << true;
    QTest::newRow("without the extension") << name << name.chopped(4) << false;
    QTest::newRow("only the start") << name << name.left(12) << false;
    QTest::newRow("only the end") << name << name.mid(1) << false;
    QTest::newRow("longer") << name << name + QLatin1Char('x') << false;
    QTest::newRow("trailing space") << name << name + QLatin1Char(' ') << false;
    QTest::newRow("with a directory") << name << u"bin/"_s + name << false;
    const QString cyrillic
            = u"Корване-%1.exe"_s.arg(QUuid::createUuid().toString(QUuid::Id128).left(8));
    QTest::newRow("non-ASCII name, upper case") << cyrillic << cyrillic.toUpper() << true;
}

void tst_UpdateProcesses::matchesTheWholeFileNameIgnoringLetterCase()
{
    QFETCH(QString, fileName);
    QFETCH(QString, query);
    QFETCH(bool, found);

    const QString executable = placeExecutable(sandbox->filePath(u"bin"_s), fileName);
    QVERIFY2(!executable.isEmpty(), qPrintable(fileName));
    const QProcess *process = start(executable);
    QVERIFY2(process, qPrintable(executable));
    const QString processId = QString::number(process->processId());

    const RunningProcesses result = UpdateProcesses::running(query);
    QCOMPARE(result.windowsError, 0u);
    QCOMPARE(result.processIds, found ? QStringList {processId} : QStringList());
}

void tst_UpdateProcesses::listsEveryCopyInAscendingIdOrder()
{
    // Copies started from different directories count as well: only the file name is compared.
    const QString name = uniqueExecutableName();
    const QString first = placeExecutable(sandbox->filePath(u"one"_s), name);
    const QString second = placeExecutable(sandbox->filePath(u"two"_s), name);
    QVERIFY(!first.isEmpty() && !second.isEmpty());

    std::vector<qint64> processIds;
    for (const QString &executable : {first, second, first}) {
        const QProcess *process = start(executable);
        QVERIFY2(process, qPrintable(executable));
        processIds.push_back(process->processId());
    }
    std::sort(processIds.begin(), processIds.end());
    QStringList expected;
    for (const qint64 processId : processIds)
        expected.append(QString::number(processId));

    const RunningProcesses result = UpdateProcesses::running(name);
    QCOMPARE(result.windowsError, 0u);
    QCOMPARE(result.processIds, expected);
}

void tst_UpdateProcesses::nameNothingRunsUnderGivesAnEmptyListAndNoError()
{
    const RunningProcesses result = UpdateProcesses::running(uniqueExecutableName());
    QCOMPARE(result.processIds, QStringList());
    QCOMPARE(result.windowsError, 0u);
}

#ifdef Q_OS_LINUX
void tst_UpdateProcesses::findsACopyWhoseFileWasRemovedOrReplaced_data()
{
    QTest::addColumn<bool>("replaced");
    QTest::newRow("removed") << false;
    QTest::newRow("replaced by a new file") << true;
}

void tst_UpdateProcesses::findsACopyWhoseFileWasRemovedOrReplaced()
{
    // An installer swaps files under a running program; the kernel then reports the executable
    // as "<path> (deleted)".
    QFETCH(bool, replaced);
    const QString name = uniqueExecutableName();
    const QString executable = placeExecutable(sandbox->filePath(u"bin"_s), name);
    QVERIFY(!executable.isEmpty());
    const QProcess *process = start(executable);
    QVERIFY2(process, qPrintable(executable));

    QVERIFY(QFile::remove(executable));
    if (replaced) {
        const QString newFile = placeExecutable(sandbox->filePath(u"new"_s), name);
        QVERIFY(!newFile.isEmpty());
        QVERIFY(QFile::rename(newFile, executable));
    }
    const QString link = QFile::symLinkTarget(u"/proc/%1/exe"_s.arg(process->processId()));
    QVERIFY2(link.endsWith(QLatin1String(" (deleted)")), qPrintable(link));

    const RunningProcesses result = UpdateProcesses::running(name);
    QCOMPARE(result.windowsError, 0u);
    QCOMPARE(result.processIds, QStringList {QString::number(process->processId())});
}

void tst_UpdateProcesses::listsTheCallingProcessButNotAnExitedChild()
{
    // A child that has exited but was not yet waited for still has a /proc entry, without an
    // executable; it no longer runs anything and must not hold up the update.
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0)
        _exit(0);
    const QString state = u"/proc/%1/stat"_s.arg(child);
    QTRY_VERIFY([&] {
        QFile stat(state);
        return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
    }());

    const RunningProcesses result = UpdateProcesses::running(
            QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QCOMPARE(waitpid(child, nullptr, 0), child);

    QCOMPARE(result.windowsError, 0u);
    QVERIFY2(result.processIds.contains(QString::number(QCoreApplication::applicationPid())),
             qPrintable(result.processIds.join(QLatin1Char(' '))));
    QVERIFY2(!result.processIds.contains(QString::number(child)),
             qPrintable(result.processIds.join(QLatin1Char(' '))));
}
#endif

QTEST_GUILESS_MAIN(tst_UpdateProcesses)
#include "tst_update_processes.moc"
