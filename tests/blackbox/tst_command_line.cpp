#include "xvfb_server.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString BoxTitle = QStringLiteral("Обновление Corvane");

} // namespace

// The command line as the client (or a curious user) meets it: the real binary on a real X
// server, its message boxes answered by key presses.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void helpListsTheOptionsInOrder();
    void parserErrorsExitWithOne_data();
    void parserErrorsExitWithOne();
    void missingRequiredOptionShowsOneBoxAndExitsWithTwo_data();
    void missingRequiredOptionShowsOneBoxAndExitsWithTwo();

private:
    QProcessEnvironment environment() const;

    XvfbServer server;
    QTemporaryDir runtime;
    std::unique_ptr<QTemporaryDir> tmp;
};

void TestCommandLine::initTestCase()
{
    QString error;
    QVERIFY2(server.start(error), qPrintable(error));
    QVERIFY2(runtime.isValid(), qPrintable(runtime.errorString()));
}

void TestCommandLine::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY2(tmp->isValid(), qPrintable(tmp->errorString()));
}

QProcessEnvironment TestCommandLine::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), server.display());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("TMPDIR"), tmp->path());
    // Qt makes a runtime directory in the temporary directory when none is set; keep it apart so
    // the temporary directory shows only what the helper itself made.
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    return environment;
}

void TestCommandLine::helpListsTheOptionsInOrder()
{
    QProcess helper;
    helper.setProcessEnvironment(environment());
    helper.start(QStringLiteral(UPDATER_HELPER_PATH), {QStringLiteral("--help")});
    QVERIFY(helper.waitForFinished(15000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);

    const QString help = QString::fromUtf8(helper.readAllStandardOutput());
    QVERIFY2(help.contains(QStringLiteral("Corvane automatic update helper")), qPrintable(help));
    const QStringList expected = {
            QStringLiteral("--maintenance-tool <path>"),
            QStringLiteral("Path to maintenancetool.exe."),
            QStringLiteral("--repository <url>"),
            QStringLiteral("Qt IFW update repository URL."),
            QStringLiteral("--application <path>"),
            QStringLiteral("Path to Corvane.exe."),
            QStringLiteral("--working-directory <path>"),
            QStringLiteral("Application working directory."),
            QStringLiteral("--handoff-file <path>"),
            QStringLiteral("Private startup handshake file."),
            QStringLiteral("--application-argument <argument>"),
            QStringLiteral("Argument preserved"),
            QStringLiteral("--expected-version <version>"),
            QStringLiteral("Expected installed package version."),
    };
    qsizetype position = 0;
    for (const QString &piece : expected) {
        const qsizetype found = help.indexOf(piece, position);
        QVERIFY2(found >= 0, qPrintable(QStringLiteral("'%1' missing or out of order").arg(piece)));
        position = found + piece.size();
    }
    QVERIFY(!help.contains(QStringLiteral("--version")));
    QVERIFY(QDir(tmp->path()).isEmpty());
}

void TestCommandLine::parserErrorsExitWithOne_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList {QStringLiteral("--no-such-option")};
    QTest::newRow("option without its value") << QStringList {QStringLiteral("--repository")};
}

void TestCommandLine::parserErrorsExitWithOne()
{
    QFETCH(QStringList, arguments);
    QProcess helper;
    helper.setProcessEnvironment(environment());
    helper.start(QStringLiteral(UPDATER_HELPER_PATH), arguments);
    QVERIFY(helper.waitForFinished(15000));
    QCOMPARE(helper.exitCode(), 1);
    QVERIFY(!helper.readAllStandardError().isEmpty());
    QVERIFY(QDir(tmp->path()).isEmpty());
}

void TestCommandLine::missingRequiredOptionShowsOneBoxAndExitsWithTwo_data()
{
    QTest::addColumn<QStringList>("arguments");

    const QString tool = QStringLiteral("--maintenance-tool=") + QStringLiteral(SAMPLE_TOOL_PATH);
    const QString repository = QStringLiteral("--repository=file:///repo");
    const QString application
            = QStringLiteral("--application=") + QStringLiteral(RECORDING_CLIENT_PATH);
    const QString directory = QStringLiteral("--working-directory=/");
    const QString handoff = QStringLiteral("--handoff-file=%1/handoff");

    QTest::newRow("maintenance-tool missing")
            << QStringList {repository, application, directory, handoff};
    QTest::newRow("repository missing") << QStringList {tool, application, directory, handoff};
    QTest::newRow("application missing") << QStringList {tool, repository, directory, handoff};
    QTest::newRow("working-directory missing")
            << QStringList {tool, repository, application, handoff};
    QTest::newRow("repository given empty")
            << QStringList {tool, QStringLiteral("--repository="), application, directory, handoff};
    QTest::newRow("repository empty after a real value") << QStringList {
            tool, repository, QStringLiteral("--repository="), application, directory, handoff};
    QTest::newRow("two missing") << QStringList {tool, directory, handoff};
    QTest::newRow("nothing at all") << QStringList {};
}

void TestCommandLine::missingRequiredOptionShowsOneBoxAndExitsWithTwo()
{
    QFETCH(QStringList, arguments);
    for (QString &argument : arguments)
        argument.replace(QStringLiteral("%1"), tmp->path());

    QProcess helper;
    helper.setProcessEnvironment(environment());
    helper.start(QStringLiteral(UPDATER_HELPER_PATH), arguments);
    QVERIFY(helper.waitForStarted());

    QVERIFY2(pressKeyUntilClosed(server.display(), BoxTitle, QStringLiteral("Return")),
             "no message box appeared");
    QVERIFY(helper.waitForFinished(15000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 2);

    // Nothing was touched: no lock, no log, no temporary directory, no handoff record.
    QVERIFY2(QDir(tmp->path()).isEmpty(),
             qPrintable(QDir(tmp->path())
                                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                                .join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
