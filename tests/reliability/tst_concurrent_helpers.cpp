#include "file_contents.h"
#include "helper_runs.h"
#include "sample_installation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QByteArray Busy
        = "error\n" + QStringLiteral("Обновление этой установки уже выполняется.").toUtf8();

// One way of naming the client executable: the path given as --application and the directory
// the helper starts in, which a relative path is taken against.
struct Spelling
{
    QString application;
    QString workingDirectory;
};

} // namespace

class TestConcurrentHelpers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void tenHelpersForOneInstallationLetExactlyOneProceed();

private:
    HelperRuns runs;
    std::unique_ptr<QTemporaryDir> root;
};

void TestConcurrentHelpers::initTestCase()
{
    QString error;
    QVERIFY2(runs.startServer(error), qPrintable(error));
}

void TestConcurrentHelpers::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY2(root->isValid(), qPrintable(root->errorString()));
}

void TestConcurrentHelpers::cleanup()
{
    runs.endAll();
    root.reset();
}

void TestConcurrentHelpers::tenHelpersForOneInstallationLetExactlyOneProceed()
{
    SampleInstallation installation(root->filePath(QStringLiteral("race")),
                                    QStringLiteral("Racing"));
    QString error;
    QVERIFY2(installation.create(QString(), error), qPrintable(error));

    const QString clientName = QFileInfo(installation.clientPath).fileName();
    const QString fileLink = installation.base + QStringLiteral("/client-link.exe");
    const QString directoryLink = installation.base + QStringLiteral("/installation-link");
    QVERIFY(QFile::link(installation.clientPath, fileLink));
    QVERIFY(QFile::link(installation.directory, directoryLink));

    const QList<Spelling> spellings = {
            {installation.clientPath, QString()},
            {installation.clientPath, QString()},
            {installation.clientPath, QString()},
            {QStringLiteral("Corvane/") + clientName, installation.base},
            {QStringLiteral("../Corvane/") + clientName, installation.tmp},
            {QStringLiteral("./") + clientName, installation.directory},
            {fileLink, QString()},
            {QStringLiteral("installation-link/") + clientName, installation.base},
            {installation.directory + QStringLiteral("/lib/../") + clientName, QString()},
            {installation.base + QStringLiteral("//Corvane/./") + clientName, QString()},
    };

    QList<std::shared_ptr<QProcess>> helpers;
    QStringList handoffs;
    for (const Spelling &spelling : spellings) {
        handoffs += installation.base + QStringLiteral("/handoff-%1").arg(helpers.size());
        helpers += runs.start(
                installation,
                {QStringLiteral("--maintenance-tool=") + QStringLiteral(SAMPLE_TOOL_PATH),
                 QStringLiteral("--repository=") + installation.repository,
                 QStringLiteral("--application=") + spelling.application,
                 QStringLiteral("--working-directory=") + installation.directory,
                 QStringLiteral("--handoff-file=") + handoffs.constLast()},
                spelling.workingDirectory);
    }

    const auto allAnswered = [&] {
        for (const QString &handoff : std::as_const(handoffs)) {
            const QByteArray record = FileContents::read(handoff);
            if (record != "ready" && record != Busy)
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(allAnswered(), 30000);

    qsizetype winner = -1;
    for (qsizetype i = 0; i < handoffs.size(); ++i) {
        if (FileContents::read(handoffs.at(i)) == "ready") {
            QVERIFY2(winner < 0, "two helpers proceed");
            winner = i;
        }
    }
    QVERIFY2(winner >= 0, "no helper proceeds");
    const QByteArray winnersLog = "Repository: " + installation.repository.toUtf8() + '\n';
    QCOMPARE(installation.log(), winnersLog);

    QList<std::shared_ptr<QProcess>> losers = helpers;
    losers.removeAt(winner);
    QVERIFY(runs.closeAfterFailures(losers));
    // The losers leave the winner's lock and log alone, also as they exit.
    QCOMPARE(installation.log(), winnersLog);
    const QString lateHandoff = installation.base + QStringLiteral("/handoff-late");
    const auto late = runs.start(
            installation,
            installation.helperArguments({QStringLiteral("--handoff-file=") + lateHandoff}));
    QVERIFY(runs.closeAfterFailure(*late));
    QCOMPARE(FileContents::read(lateHandoff), Busy);

    QVERIFY(FileContents::replace(handoffs.at(winner), "continue"));
    QVERIFY(helpers.at(winner)->waitForFinished(30000));
    QCOMPARE(helpers.at(winner)->exitCode(), 0);
    QCOMPARE(installation.toolRuns(), 1);
    QTRY_COMPARE(installation.launches().size(), 1);
    const QString mismatches = installation.mismatches(SampleInstallation::Expected::New);
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches));
    QVERIFY2(installation.leftovers().isEmpty(), qPrintable(installation.leftovers().join(u' ')));
}

QTEST_GUILESS_MAIN(TestConcurrentHelpers)
#include "tst_concurrent_helpers.moc"
