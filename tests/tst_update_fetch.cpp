#include "faulty_server.h"
#include "release_fixture.h"
#include "release_signer.h"
#include "test_files.h"
#include "update_fetch.h"
#include "update_mirror.h"
#include "web_server.h"

#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

// The fetch of a verified release into the installation's mirror, against Debian's nginx (at full
// speed and throttled) and a faulty server of the test's own that cuts or stalls the first answer
// for each file. Whatever happens, the installation is left as it was, and only a mirror that
// holds every file as signed is handed over.
class TestUpdateFetch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void fetchFillsTheMirrorWithTheSignedRelease_data();
    void fetchFillsTheMirrorWithTheSignedRelease();
    void clientQuittingMidFetchFetchesTheRestAtItsNextStart_data();
    void clientQuittingMidFetchFetchesTheRestAtItsNextStart();
    void faultsLeaveTheInstallationAndTellTheClient_data();
    void faultsLeaveTheInstallationAndTellTheClient();
    void twoClientsFetchingAtOnceShareOneMirror();
    void mirrorGoesOnceItsReleaseIsInstalledOrNoLongerTheNewest();

private:
    // Publishes release 2.0.0 into www/NAME (or with `arguments`) and checks it through `url`
    // (a path below the servers' folder's URL, "NAME" when empty).
    UpdateCheckResult publishAndCheck(const QString &name, qint64 archiveSize,
                                      const QString &url = QString(),
                                      const QStringList &arguments = {});
    UpdateCheckSettings checkSettings(const QString &url) const;
    UpdateFetchSettings fetchSettings(const QString &url) const;
    // Where the mirror's repository differs from the published folder: the differences.
    QString mirrorMismatches(const QString &name) const;

    QTemporaryDir keys;
    ReleaseSigner signer;
    WebServer server;
    WebServer slowServer;
    FaultyServer cuttingServer;
    FaultyServer stallingServer;
    FaultyServer endlessServer;
    QString www;
    std::unique_ptr<TestDirectory> directory;
    TestMounts mounts;
    int rows = 0;
};

namespace {

constexpr qint64 SlowRate = 400000;

QString repositoryName(int row)
{
    return u"release-%1"_s.arg(row);
}

} // namespace

void TestUpdateFetch::initTestCase()
{
    QVERIFY2(keys.isValid(), qPrintable(keys.errorString()));
    QString error;
    QVERIFY2(signer.create(keys.filePath(u"publisher"_s), QStringLiteral(UPDATER_MANIFEST_PATH),
                           error),
             qPrintable(error));
    www = keys.filePath(u"www"_s);
    QVERIFY(QDir().mkpath(www));
    QVERIFY2(server.start(www, error), qPrintable(error));
    QVERIFY2(slowServer.start(www, error, SlowRate), qPrintable(error));
    QVERIFY(cuttingServer.listen(FaultyServer::Fault::CutOnce, www));
    QVERIFY(stallingServer.listen(FaultyServer::Fault::StallOnce, www));
    QVERIFY(endlessServer.listen(FaultyServer::Fault::EndlessBody));
}

void TestUpdateFetch::init()
{
    directory = std::make_unique<TestDirectory>();
    QVERIFY2(directory->isValid(), qPrintable(directory->errorString()));
    QVERIFY(writeFile(directory->filePath(u"installation/Corvane"_s), "client 1.0.0"));
    QVERIFY(writeFile(directory->filePath(u"installation/components.xml"_s),
                      componentsXml("1.0.0")));
    ++rows;
}

void TestUpdateFetch::cleanup()
{
    mounts.releaseAll();
    directory.reset();
}

UpdateCheckSettings TestUpdateFetch::checkSettings(const QString &url) const
{
    return checkSettingsFor(*directory, signer, url);
}

UpdateFetchSettings TestUpdateFetch::fetchSettings(const QString &url) const
{
    UpdateFetchSettings settings;
    settings.repositoryUrl = url;
    settings.applicationPath = directory->filePath(u"installation/Corvane"_s);
    settings.mirrorDirectory = directory->filePath(u"state"_s);
    settings.stallLimitMs = 5000;
    settings.attempts = 3;
    settings.firstRetryDelayMs = 50;
    return settings;
}

UpdateCheckResult TestUpdateFetch::publishAndCheck(const QString &name, qint64 archiveSize,
                                                   const QString &url, const QStringList &arguments)
{
    QString error;
    if (!publishRelease(signer, www + u'/' + name, arguments, error, archiveSize))
        qWarning("%s", qPrintable(error));
    return runCheck(checkSettings(url.isEmpty() ? server.httpUrl(name) : url));
}

QString TestUpdateFetch::mirrorMismatches(const QString &name) const
{
    const QString mirrored = UpdateMirror(directory->filePath(u"installation/Corvane"_s),
                                          directory->filePath(u"state"_s))
                                     .repositoryPath();
    // Laid out as the publisher's folder, the manifest and its signature with the files.
    const QMap<QString, QByteArray> expected = treeSnapshot(www + u'/' + name);
    QMap<QString, QByteArray> found = treeSnapshot(mirrored);
    QStringList differences;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (found.take(it.key()) != it.value())
            differences.append(u"not as published: "_s + it.key());
    }
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        differences.append(u"not published: "_s + it.key());
    return differences.join(u'\n');
}

void TestUpdateFetch::fetchFillsTheMirrorWithTheSignedRelease_data()
{
    // source: where the fetch reads the repository the check verified; resumed: a request for the
    // rest of a file, with a range, is to be seen.
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("resumed");
    QTest::newRow("over HTTP from nginx") << u"nginx"_s << false;
    QTest::newRow("a connection cut in the middle of a file, then resumed") << u"cut"_s << true;
    QTest::newRow("a stalled connection, ended and resumed") << u"stall"_s << true;
    QTest::newRow("from a local folder") << u"folder"_s << false;
}

void TestUpdateFetch::fetchFillsTheMirrorWithTheSignedRelease()
{
    QFETCH(QString, source);
    QFETCH(bool, resumed);
    const QString name = repositoryName(rows);
    const UpdateCheckResult check = publishAndCheck(name, 3 << 20);
    QCOMPARE(check.outcome, UpdateCheckResult::Outcome::NewerRelease);
    const QMap<QString, QByteArray> installation
            = treeSnapshot(directory->filePath(u"installation"_s));

    QString url = server.httpUrl(name);
    if (source == u"cut"_s)
        url = cuttingServer.url(name);
    else if (source == u"stall"_s)
        url = stallingServer.url(name);
    else if (source == u"folder"_s)
        url = www + u'/' + name;
    UpdateFetchSettings settings = fetchSettings(url);
    settings.stallLimitMs = 1000;
    UpdateFetch fetch(settings, check);
    QSignalSpy progress(&fetch, &UpdateFetch::progress);
    const UpdateFetchResult result = runFetch(fetch);
    QVERIFY2(result.outcome == UpdateFetchResult::Outcome::Fetched, qPrintable(result.errorString));
    const QString found = mirrorMismatches(name);
    QVERIFY2(found.isEmpty(), qPrintable(found));
    QCOMPARE(result.version, u"2.0.0"_s);
    QCOMPARE(QUrl(result.repositoryUrl).toLocalFile(),
             UpdateMirror(directory->filePath(u"installation/Corvane"_s),
                          directory->filePath(u"state"_s))
                     .repositoryPath());
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.constLast().at(0).toLongLong(), check.manifest.totalSize());
    QCOMPARE(progress.constLast().at(1).toLongLong(), check.manifest.totalSize());
    if (resumed) {
        // The archive asked for whole, then for the rest, from where the cut or the stall left it
        // (at most the half the server sent; what was still in transit may be lost with the
        // connection).
        const QList<QByteArray> requests
                = (source == u"cut"_s ? cuttingServer : stallingServer).requests();
        const QByteArray archive = '/' + name.toLatin1() + '/' + releaseArchive().toLatin1();
        const auto rest
                = std::find_if(requests.cbegin(), requests.cend(), [&](const QByteArray &request) {
                      const QByteArray from = request.mid(archive.size() + 7).chopped(1);
                      return request.startsWith(archive + " bytes=") && from.toLongLong() > 0
                              && from.toLongLong() <= (3 << 19);
                  });
        QVERIFY2(requests.contains(archive + " -") && rest != requests.cend(),
                 requests.join('\n').constData());
    }
    QCOMPARE(treeSnapshot(directory->filePath(u"installation"_s)), installation);
}

void TestUpdateFetch::clientQuittingMidFetchFetchesTheRestAtItsNextStart_data()
{
    // path: below the throttled server's root; status: what the rest's request is answered with.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("the rest asked for with a range") << QString() << QByteArray("206");
    QTest::newRow("a server that ignores the range: read from the start")
            << u"without-ranges/"_s << QByteArray("200");
}

void TestUpdateFetch::clientQuittingMidFetchFetchesTheRestAtItsNextStart()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, status);
    const QString name = repositoryName(rows);
    const UpdateCheckResult check = publishAndCheck(name, 4 << 20);
    QCOMPARE(check.outcome, UpdateCheckResult::Outcome::NewerRelease);
    const QString url = slowServer.httpUrl(path + name);
    {
        // The client quits once a part of the archive has come: the fetch goes with it.
        UpdateFetch first(fetchSettings(url), check);
        QSignalSpy progress(&first, &UpdateFetch::progress);
        first.start();
        QTRY_VERIFY_WITH_TIMEOUT(
                !progress.isEmpty() && progress.constLast().at(0).toLongLong() > (1 << 20), 20000);
        // A slow line: the progress moves on, with a rate.
        QVERIFY2(progress.size() >= 3, qPrintable(QString::number(progress.size())));
        for (qsizetype i = 1; i < progress.size(); ++i)
            QVERIFY(progress.at(i).at(0).toLongLong() >= progress.at(i - 1).at(0).toLongLong());
        QVERIFY(progress.constLast().at(0).toLongLong() > progress.constFirst().at(0).toLongLong());
        QVERIFY(progress.constLast().at(2).toDouble() > 0);
    }
    const qint64 kept = UpdateMirror(directory->filePath(u"installation/Corvane"_s),
                                     directory->filePath(u"state"_s))
                                .partialSize(check.manifest.files.at(1));
    QVERIFY2(kept > (1 << 20), qPrintable(QString::number(kept)));

    // Its next start: a new check, a new fetch, the rest.
    const UpdateCheckResult again = runCheck(checkSettings(server.httpUrl(name)));
    QCOMPARE(again.outcome, UpdateCheckResult::Outcome::NewerRelease);
    UpdateFetch next(fetchSettings(url), again);
    QSignalSpy progress(&next, &UpdateFetch::progress);
    const UpdateFetchResult result = runFetch(next);
    QVERIFY2(result.outcome == UpdateFetchResult::Outcome::Fetched, qPrintable(result.errorString));
    const QString found = mirrorMismatches(name);
    QVERIFY2(found.isEmpty(), qPrintable(found));
    // The progress starts from what was kept.
    QVERIFY(progress.constFirst().at(0).toLongLong() >= kept);
    const QByteArray asked = '/' + path.toLatin1() + name.toLatin1() + '/'
            + releaseArchive().toLatin1() + " \"bytes=" + QByteArray::number(kept) + "-\" "
            + status;
    QVERIFY2(slowServer.accessLog().contains(asked), slowServer.accessLog().constData());
}

void TestUpdateFetch::faultsLeaveTheInstallationAndTellTheClient_data()
{
    // fault: what is wrong once the check has verified the release; failure and message: what the
    // client is told.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<UpdateFailure>("failure");
    QTest::addColumn<QString>("message");
    QTest::newRow("404") << u"404"_s << UpdateFailure::Network << u"Not Found"_s;
    QTest::newRow("500") << u"500"_s << UpdateFailure::Network << u"after 3 tries"_s;
    QTest::newRow("a stall, every time") << u"stall"_s << UpdateFailure::Network << u"no byte of"_s;
    QTest::newRow("endless data") << u"endless"_s << UpdateFailure::Untrusted
                                  << u"more bytes than the"_s;
    QTest::newRow("an archive with other bytes of the same size")
            << u"other bytes"_s << UpdateFailure::Untrusted
            << u"does not match the signed manifest"_s;
    QTest::newRow("an archive of another release") << u"other release"_s << UpdateFailure::Untrusted
                                                   << u"does not match the signed manifest"_s;
    QTest::newRow("the mirror's disk full")
            << u"full"_s << UpdateFailure::Storage << u"cannot be written"_s;
}

void TestUpdateFetch::faultsLeaveTheInstallationAndTellTheClient()
{
    QFETCH(QString, fault);
    QFETCH(UpdateFailure, failure);
    QFETCH(QString, message);
    const QString name = repositoryName(rows);
    const UpdateCheckResult check = publishAndCheck(name, 1 << 20);
    QCOMPARE(check.outcome, UpdateCheckResult::Outcome::NewerRelease);
    const QString archive = www + u'/' + name + u'/' + releaseArchive();
    UpdateFetchSettings settings = fetchSettings(server.httpUrl(name));
    if (fault == u"404"_s) {
        QVERIFY(QFile::remove(archive));
    } else if (fault == u"500"_s) {
        settings.repositoryUrl = server.httpUrl(u"answers-500/"_s + name);
    } else if (fault == u"stall"_s) {
        settings.repositoryUrl = stallingServer.url(name);
        settings.stallLimitMs = 1000;
        settings.attempts = 1;
    } else if (fault == u"endless"_s) {
        settings.repositoryUrl = endlessServer.url(name);
    } else if (fault == u"other bytes"_s) {
        QByteArray bytes = readFile(archive);
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x01);
        QVERIFY(writeFile(archive, bytes));
    } else if (fault == u"other release"_s) {
        QVERIFY(writeFile(archive, releaseArchiveBytes(1 << 19)));
    } else if (fault == u"full"_s) {
        // The kit's directory on a small file system of the test's own, already made.
        QVERIFY(mounts.mountSmall(settings.mirrorDirectory, 256 << 10));
    }
    const QMap<QString, QByteArray> installation
            = treeSnapshot(directory->filePath(u"installation"_s));
    UpdateFetch fetch(settings, check);
    const UpdateFetchResult result = runFetch(fetch);
    QCOMPARE(result.outcome, UpdateFetchResult::Outcome::Failed);
    QCOMPARE(result.failure, failure);
    QVERIFY2(result.errorString.contains(message), qPrintable(result.errorString));
    QVERIFY(result.repositoryUrl.isEmpty());
    QVERIFY(!UpdateMirror(settings.applicationPath, settings.mirrorDirectory).isComplete());
    QCOMPARE(treeSnapshot(directory->filePath(u"installation"_s)), installation);
}

void TestUpdateFetch::twoClientsFetchingAtOnceShareOneMirror()
{
    const QString name = repositoryName(rows);
    const UpdateCheckResult check = publishAndCheck(name, 2 << 20);
    QCOMPARE(check.outcome, UpdateCheckResult::Outcome::NewerRelease);
    UpdateFetch first(fetchSettings(slowServer.httpUrl(name)), check);
    UpdateFetch second(fetchSettings(slowServer.httpUrl(name)), check);
    QSignalSpy firstDone(&first, &UpdateFetch::finished);
    QSignalSpy secondDone(&second, &UpdateFetch::finished);
    first.start();
    second.start();
    QTRY_VERIFY_WITH_TIMEOUT(firstDone.size() == 1 && secondDone.size() == 1, 30000);
    for (const UpdateFetch *fetch : {&first, &second})
        QVERIFY2(fetch->result().outcome == UpdateFetchResult::Outcome::Fetched,
                 qPrintable(fetch->result().errorString));
    QCOMPARE(first.result().repositoryUrl, second.result().repositoryUrl);
    const QString found = mirrorMismatches(name);
    QVERIFY2(found.isEmpty(), qPrintable(found));
    // The one that waited found every file there.
    QCOMPARE(slowServer.accessLog().count('/' + name.toLatin1() + '/' + releaseArchive().toLatin1()
                                          + ' '),
             1);
}

void TestUpdateFetch::mirrorGoesOnceItsReleaseIsInstalledOrNoLongerTheNewest()
{
    const QString name = repositoryName(rows);
    const UpdateCheckResult check = publishAndCheck(name, 1 << 16);
    UpdateFetch fetch(fetchSettings(server.httpUrl(name)), check);
    QCOMPARE(runFetch(fetch).outcome, UpdateFetchResult::Outcome::Fetched);
    const UpdateMirror mirror(directory->filePath(u"installation/Corvane"_s),
                              directory->filePath(u"state"_s));
    // The same release still the newest: the mirror stays.
    QCOMPARE(runCheck(checkSettings(server.httpUrl(name))).outcome,
             UpdateCheckResult::Outcome::NewerRelease);
    QVERIFY(mirror.isComplete());
    // A newer publication of another release: the mirror of the old one goes at the check.
    QCOMPARE(publishAndCheck(name, 1 << 16, QString(),
                             {u"--release-version"_s, u"2.0.1"_s, u"--sequence"_s, u"11"_s})
                     .outcome,
             UpdateCheckResult::Outcome::NewerRelease);
    QVERIFY(!QFileInfo::exists(mirror.path()));
    // Fetched again, then seen installed: it goes.
    UpdateFetch again(fetchSettings(server.httpUrl(name)),
                      runCheck(checkSettings(server.httpUrl(name))));
    QCOMPARE(runFetch(again).outcome, UpdateFetchResult::Outcome::Fetched);
    QVERIFY(writeFile(directory->filePath(u"installation/components.xml"_s),
                      componentsXml("2.0.1")));
    QCOMPARE(runCheck(checkSettings(server.httpUrl(name))).outcome,
             UpdateCheckResult::Outcome::UpToDate);
    QVERIFY(!QFileInfo::exists(mirror.path()));
}

QTEST_GUILESS_MAIN(TestUpdateFetch)
#include "tst_update_fetch.moc"
