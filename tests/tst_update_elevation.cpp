#include "update_elevation.h"

#include "test_files.h"

#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

// What the elevated part accepts from the command line that anyone may give the installation's
// helper: only a request that stays inside the installation. The elevation itself runs under Wine,
// in the black-box test.
class tst_UpdateElevation : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void onlyARequestThatStaysInTheInstallationIsTrusted_data();
    void onlyARequestThatStaysInTheInstallationIsTrusted();

private:
    std::unique_ptr<TestDirectory> dir;
};

void tst_UpdateElevation::init()
{
    dir = std::make_unique<TestDirectory>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
}

void tst_UpdateElevation::onlyARequestThatStaysInTheInstallationIsTrusted_data()
{
    // field: which part of a request of the helper's own is replaced, by value (relative to the
    // test's folder where it is a path: "~/" stands for it).
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("the helper's own request") << QString() << QString() << true;
    QTest::newRow("a client the update removed") << u"client"_s << u"~/Corvane/gone"_s << true;
    QTest::newRow("a tool outside the installation") << u"tool"_s << u"~/tool"_s << false;
    QTest::newRow("a tool reached through ..") << u"tool"_s << u"~/Corvane/../tool"_s << false;
    QTest::newRow("a tool named relatively") << u"tool"_s << u"Corvane/maintenancetool"_s << false;
    QTest::newRow("a folder for the tool") << u"tool"_s << u"~/Corvane/lib"_s << false;
    QTest::newRow("a client outside the installation") << u"client"_s << u"~/Corvane2/x"_s << false;
    QTest::newRow("an installation that is a file") << u"installation"_s << u"~/tool"_s << false;
    QTest::newRow("an installation on a share")
            << u"installation"_s << u"//server/share/Corvane"_s << false;
    QTest::newRow("a go file on a share") << u"go"_s << u"//server/share/go"_s << false;
    QTest::newRow("a go file with a line feed") << u"go"_s << u"~/go\n"_s << false;
    QTest::newRow("a version with a suffix") << u"version"_s << u"2.0.0-beta"_s << false;
    QTest::newRow("a self-test argument with a value")
            << u"selfTest"_s << u"--plugin=C:/evil.dll"_s << false;
    QTest::newRow("a self-test argument with a blank") << u"selfTest"_s << u"--a b"_s << false;
    QTest::newRow("a repository with a line feed")
            << u"repository"_s << u"file:///repo\n--verbose"_s << false;
    QTest::newRow("no repository") << u"repository"_s << QString() << false;
    QTest::newRow("a relay outside the installation") << u"own"_s << u"~/tool"_s << false;
}

void tst_UpdateElevation::onlyARequestThatStaysInTheInstallationIsTrusted()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(bool, trusted);
    const QString base = dir->path();
    for (const QString &file : {u"Corvane/maintenancetool"_s, u"Corvane/Corvane"_s,
                                u"Corvane/updater_helper"_s, u"Corvane/lib/x"_s, u"tool"_s})
        QVERIFY(writeFile(dir->filePath(file), "x"));
    UpdateElevation::Request request = {base + u"/Corvane/maintenancetool"_s,
                                        u"file:///repository"_s,
                                        base + u"/Corvane/Corvane"_s,
                                        base + u"/Corvane"_s,
                                        u"2.0.0"_s,
                                        u"--self-test"_s,
                                        dir->tmp() + u"/go"_s};
    QString own = base + u"/Corvane/updater_helper"_s;
    if (value.startsWith(u"~/"))
        value = base + value.mid(1);
    const QHash<QString, QString *> fields = {{u"tool"_s, &request.maintenanceToolPath},
                                              {u"repository"_s, &request.repositoryUrl},
                                              {u"client"_s, &request.applicationPath},
                                              {u"installation"_s, &request.installationDirectory},
                                              {u"version"_s, &request.expectedVersion},
                                              {u"selfTest"_s, &request.selfTestArgument},
                                              {u"go"_s, &request.goFilePath},
                                              {u"own"_s, &own}};
    if (!field.isEmpty())
        *fields.value(field) = value;

    const QString reason = UpdateElevation::untrustedRequest(request, own);
    QVERIFY2(reason.isEmpty() == trusted, qPrintable(reason));
}

QTEST_GUILESS_MAIN(tst_UpdateElevation)
#include "tst_update_elevation.moc"
