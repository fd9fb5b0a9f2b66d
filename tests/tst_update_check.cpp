#include "faulty_server.h"
#include "release_fixture.h"
#include "release_signer.h"
#include "test_files.h"
#include "update_check.h"
#include "update_network.h"
#include "update_trust.h"
#include "web_server.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

// What a row does to its freshly published repository (and to the check's settings) before the
// check runs; false with the reason when it cannot.
class TestUpdateCheck;
using Prepare = std::function<bool(TestUpdateCheck &, const QString &repository,
                                   UpdateCheckSettings &, QString &error)>;
Q_DECLARE_METATYPE(Prepare)

// The update check against Debian's nginx serving repositories published as a publisher does
// (updater_manifest, then minisign -S), each row in a folder of its own, and against a faulty
// server of the test's own where nginx cannot make the fault. Every refusal must leave
// everything as it was: the installation, the repository, the temporary directory, and the
// check's own record.
class TestUpdateCheck : public QObject
{
    Q_OBJECT

public:
    ReleaseSigner signer;
    ReleaseSigner otherSigner;
    WebServer server;
    FaultyServer endlessServer;
    FaultyServer trickleServer;

    // The release 2.0.0 of a small repository, published into www/NAME; its folder.
    QString publish(const QString &name, const QStringList &arguments, QString &error);
    UpdateCheckResult check(const UpdateCheckSettings &settings);

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void repositoryAddressesAreReadAsTheHelperReadsThem_data();
    void repositoryAddressesAreReadAsTheHelperReadsThem();
    void answers_data();
    void answers();
    void refusals_data();
    void refusals();
    void failuresAreNeverUpToDate_data();
    void failuresAreNeverUpToDate();

private:
    UpdateCheckSettings settingsFor(const QString &url) const;
    QMap<QString, QByteArray> snapshot() const;
    void expectUntouched(const QMap<QString, QByteArray> &before) const;

    QTemporaryDir keys;
    std::unique_ptr<TestDirectory> directory;
    QString www;
    int published = 0;
};

namespace {

// A manifest written by hand, for what the publisher program refuses to write: a header, then one
// file line per path, each for an empty file.
QByteArray handMadeManifest(const QStringList &paths, const QByteArray &format = "1")
{
    QByteArray text = "corvane-release-manifest " + format
            + "\nversion 2.0.0\nsequence 5\nexpires 2099-01-01T00:00:00Z\n";
    const QByteArray emptyDigest = QByteArray::fromHex(
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    for (const QString &path : paths)
        text += "file " + emptyDigest.toHex() + " 0 " + path.toUtf8() + '\n';
    return text;
}

Prepare handMade(const QStringList &paths, const QByteArray &format = "1")
{
    return [paths, format](TestUpdateCheck &test, const QString &repository, UpdateCheckSettings &,
                           QString &error) {
        return writeFile(repository + u"/release.manifest"_s, handMadeManifest(paths, format))
                && test.signer.sign(repository, error);
    };
}

// Changes one byte of a file of the repository at offset (from the end when negative).
Prepare flipByte(const QString &name, qsizetype offset)
{
    return [name, offset](TestUpdateCheck &, const QString &repository, UpdateCheckSettings &,
                          QString &) {
        QByteArray bytes = readFile(repository + u'/' + name);
        const qsizetype at = offset < 0 ? bytes.size() + offset : offset;
        bytes[at] = char(bytes.at(at) ^ 0x01);
        return writeFile(repository + u'/' + name, bytes);
    };
}

// Replaces line `index` of the repository's signature file with `line`.
bool setSignatureLine(const QString &repository, int index, const QByteArray &line)
{
    const QString path = repository + u"/release.manifest.minisig"_s;
    QList<QByteArray> lines = readFile(path).split('\n');
    lines[index] = line;
    return writeFile(path, lines.join('\n'));
}

QByteArray signatureLine(const QString &repository, int index)
{
    return readFile(repository + u"/release.manifest.minisig"_s).split('\n').value(index);
}

// Changes byte `offset` of what line `index` of the signature file encodes, keeping it base64.
Prepare flipSignatureByte(int index, qsizetype offset)
{
    return [index, offset](TestUpdateCheck &, const QString &repository, UpdateCheckSettings &,
                           QString &) {
        QByteArray bytes = QByteArray::fromBase64(signatureLine(repository, index));
        bytes[offset] = char(bytes.at(offset) ^ 0x01);
        return setSignatureLine(repository, index, bytes.toBase64());
    };
}

Prepare replaceSignatureLine(int index, const QByteArray &line)
{
    return [index, line](TestUpdateCheck &, const QString &repository, UpdateCheckSettings &,
                         QString &) { return setSignatureLine(repository, index, line); };
}

Prepare republish(const QStringList &arguments)
{
    return [arguments](TestUpdateCheck &test, const QString &repository, UpdateCheckSettings &,
                       QString &error) {
        return test.signer.publish(repository, arguments, error);
    };
}

Prepare fromServer(const QString &url)
{
    return [url](TestUpdateCheck &, const QString &, UpdateCheckSettings &settings, QString &) {
        settings.repositoryUrl = url;
        return true;
    };
}

} // namespace

QString TestUpdateCheck::publish(const QString &name, const QStringList &arguments, QString &error)
{
    const QString repository = www + u'/' + name;
    return publishRelease(signer, repository, arguments, error) ? repository : QString();
}

UpdateCheckResult TestUpdateCheck::check(const UpdateCheckSettings &settings)
{
    return runCheck(settings);
}

UpdateCheckSettings TestUpdateCheck::settingsFor(const QString &url) const
{
    return checkSettingsFor(*directory, signer, url);
}

// Everything the test made but the check's own record, which a verified manifest may advance.
QMap<QString, QByteArray> TestUpdateCheck::snapshot() const
{
    QMap<QString, QByteArray> entries = treeSnapshot(directory->path());
    entries.removeIf([](const auto &entry) { return entry.key().startsWith(u"state"_s); });
    return entries;
}

void TestUpdateCheck::expectUntouched(const QMap<QString, QByteArray> &before) const
{
    const QMap<QString, QByteArray> after = snapshot();
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        QVERIFY2(before.value(it.key(), "<new>") == it.value(),
                 qPrintable(u"written: "_s + it.key()));
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QVERIFY2(after.contains(it.key()), qPrintable(u"removed: "_s + it.key()));
}

void TestUpdateCheck::initTestCase()
{
    QVERIFY2(keys.isValid(), qPrintable(keys.errorString()));
    QString error;
    QVERIFY2(signer.create(keys.filePath(u"publisher"_s), QStringLiteral(UPDATER_MANIFEST_PATH),
                           error),
             qPrintable(error));
    QVERIFY2(otherSigner.create(keys.filePath(u"other"_s), QStringLiteral(UPDATER_MANIFEST_PATH),
                                error),
             qPrintable(error));
    www = keys.filePath(u"www"_s);
    QVERIFY(QDir().mkpath(www));
    QVERIFY2(server.start(www, error), qPrintable(error));
    QVERIFY(endlessServer.listen(FaultyServer::Fault::EndlessBody));
    QVERIFY(trickleServer.listen(FaultyServer::Fault::Trickle));
}

void TestUpdateCheck::init()
{
    directory = std::make_unique<TestDirectory>();
    QVERIFY2(directory->isValid(), qPrintable(directory->errorString()));
    QVERIFY(writeFile(directory->filePath(u"installation/Corvane"_s), "client 1.0.0"));
    QVERIFY(writeFile(directory->filePath(u"installation/components.xml"_s),
                      componentsXml("1.0.0")));
    ++published;
}

void TestUpdateCheck::cleanup()
{
    qunsetenv("http_proxy");
    directory.reset();
}

void TestUpdateCheck::repositoryAddressesAreReadAsTheHelperReadsThem_data()
{
    QTest::addColumn<QString>("repository");
    QTest::addColumn<QString>("manifest");
    QTest::newRow("https") << u"https://updates.example.com/corvane"_s
                           << u"https://updates.example.com/corvane/release.manifest"_s;
    QTest::newRow("http, a slash at the end")
            << u"http://127.0.0.1:8080/repo/"_s << u"http://127.0.0.1:8080/repo/release.manifest"_s;
    QTest::newRow("an escaped space")
            << u"https://example.com/a%20b"_s << u"https://example.com/a%20b/release.manifest"_s;
    // As QUrl::fromLocalFile(...).toString() writes it: the space unescaped.
    QTest::newRow("a file URL with a space")
            << u"file:///tmp/Corvane Update/repository"_s
            << u"file:///tmp/Corvane Update/repository/release.manifest"_s;
    QTest::newRow("a folder") << u"/tmp/Corvane Update/repository"_s
                              << u"file:///tmp/Corvane Update/repository/release.manifest"_s;
}

void TestUpdateCheck::repositoryAddressesAreReadAsTheHelperReadsThem()
{
    QFETCH(QString, repository);
    QFETCH(QString, manifest);
    QCOMPARE(UpdateNetwork::fileUrl(repository, u"release.manifest"_s), QUrl(manifest));
}

void TestUpdateCheck::answers_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<int>("outcome");
    const int newer = int(UpdateCheckResult::Outcome::NewerRelease);
    const int upToDate = int(UpdateCheckResult::Outcome::UpToDate);
    QTest::newRow("newer, over HTTP") << u"http"_s << QByteArray("1.0.0") << newer;
    QTest::newRow("newer, over HTTPS with the client's authority")
            << u"https"_s << QByteArray("1.0.0") << newer;
    QTest::newRow("newer, through the system's proxy")
            << u"proxy"_s << QByteArray("1.0.0") << newer;
    QTest::newRow("newer, from a local folder") << u"folder"_s << QByteArray("1.0.0") << newer;
    QTest::newRow("up to date") << u"http"_s << QByteArray("2.0.0") << upToDate;
}

void TestUpdateCheck::answers()
{
    QFETCH(QString, scheme);
    QFETCH(QByteArray, installed);
    QFETCH(int, outcome);
    QVERIFY(writeFile(directory->filePath(u"installation/components.xml"_s),
                      componentsXml(installed)));
    QString error;
    const QString name = u"answers-%1"_s.arg(published);
    const QString repository = publish(name, {}, error);
    QVERIFY2(!repository.isEmpty(), qPrintable(error));

    UpdateCheckSettings settings = settingsFor(server.httpUrl(name));
    if (scheme == u"https"_s) {
        settings.repositoryUrl = server.httpsUrl(name);
        settings.caCertificates = QSslCertificate::fromPath(server.caCertificatePath());
    } else if (scheme == u"proxy"_s) {
        // A name that only the proxy can reach: without it, the check finds no such host.
        settings.repositoryUrl = u"http://updates.corvane.test/"_s + name;
        qputenv("http_proxy", server.proxyUrl().toLatin1());
    } else if (scheme == u"folder"_s) {
        settings.repositoryUrl = repository;
    }
    const UpdateCheckResult result = check(settings);
    QVERIFY2(result.errorString.isEmpty(), qPrintable(result.errorString));
    QCOMPARE(int(result.outcome), outcome);
    QCOMPARE(result.version, u"2.0.0"_s);
    QCOMPARE(result.installedVersion, QString::fromLatin1(installed));
    QCOMPARE(result.downloadSize, qint64(70000 + 5 + 11));
    QCOMPARE(result.manifest.files.size(), 3);
    if (scheme == u"proxy"_s)
        QVERIFY(server.proxyLog().contains("GET http://updates.corvane.test/" + name.toLatin1()
                                           + "/release.manifest "));
    // The newest verified publication is remembered for the next check.
    QCOMPARE(UpdateTrust(QList<UpdateSignature::PublicKey>(),
                         UpdateTrust::statePath(settings.stateDirectory, settings.applicationPath))
                     .highestSequence(),
             qint64(10));
}

void TestUpdateCheck::refusals_data()
{
    QTest::addColumn<Prepare>("prepare");
    QTest::addColumn<UpdateFailure>("failure");
    QTest::addColumn<QString>("message");

    const UpdateFailure untrusted = UpdateFailure::Untrusted;
    const UpdateFailure malformed = UpdateFailure::Malformed;
    QTest::newRow("manifest changed by one byte")
            << flipByte(u"release.manifest"_s, 40) << untrusted << u"does not verify"_s;
    QTest::newRow("manifest's last byte changed")
            << flipByte(u"release.manifest"_s, -2) << untrusted << u"does not verify"_s;
    QTest::newRow("signature changed by one byte")
            << flipSignatureByte(1, 40) << untrusted << u"does not verify"_s;
    QTest::newRow("trusted comment changed")
            << replaceSignatureLine(2, "trusted comment: release 2.0.0, approved") << untrusted
            << u"trusted comment"_s;
    QTest::newRow("global signature changed")
            << flipSignatureByte(3, 20) << untrusted << u"trusted comment"_s;
    QTest::newRow("signed by a key the client does not trust")
            << Prepare([](TestUpdateCheck &test, const QString &repository, UpdateCheckSettings &,
                          QString &error) { return test.otherSigner.sign(repository, error); })
            << untrusted << u"which is not trusted"_s;
    QTest::newRow("signed by another key that claims the trusted key's id")
            << Prepare([](TestUpdateCheck &test, const QString &repository, UpdateCheckSettings &,
                          QString &error) {
                   const QByteArray trusted = QByteArray::fromBase64(signatureLine(repository, 1));
                   if (!test.otherSigner.sign(repository, error))
                       return false;
                   // The other key's signature, under the trusted key's algorithm and id.
                   QByteArray record = QByteArray::fromBase64(signatureLine(repository, 1));
                   record.replace(0, 10, trusted.left(10));
                   return setSignatureLine(repository, 1, record.toBase64());
               })
            << untrusted << u"does not verify"_s;
    QTest::newRow("no signature") << Prepare(
            [](TestUpdateCheck &, const QString &repository, UpdateCheckSettings &, QString &) {
                return QFile::remove(repository + u"/release.manifest.minisig"_s);
            }) << untrusted << u"not signed"_s;
    QTest::newRow("a signature file that is none")
            << replaceSignatureLine(1, "not base64") << untrusted << u"not base64"_s;
    QTest::newRow("sequence lower than one already verified") << Prepare(
            [](TestUpdateCheck &test, const QString &repository, UpdateCheckSettings &settings,
               QString &error) {
                // The client verifies publication 11; then the server replays publication 10.
                const QByteArray manifest = readFile(repository + u"/release.manifest"_s);
                const QByteArray signature = readFile(repository + u"/release.manifest.minisig"_s);
                if (!test.signer.publish(
                            repository,
                            {u"--release-version"_s, u"2.0.0"_s, u"--sequence"_s, u"11"_s}, error))
                    return false;
                const UpdateCheckResult first = test.check(settings);
                error = first.errorString;
                return first.outcome == UpdateCheckResult::Outcome::NewerRelease
                        && writeFile(repository + u"/release.manifest"_s, manifest)
                        && writeFile(repository + u"/release.manifest.minisig"_s, signature);
            }) << UpdateFailure::Rollback << u"lower than 11"_s;
    QTest::newRow("release older than the installed version")
            << republish({u"--release-version"_s, u"0.9.0"_s, u"--sequence"_s, u"12"_s})
            << UpdateFailure::Rollback << u"older than the installed version 1.0.0"_s;
    QTest::newRow("expired") << republish({u"--release-version"_s, u"2.0.0"_s, u"--sequence"_s,
                                           u"12"_s, u"--expires"_s, u"2026-01-01T00:00:00Z"_s})
                             << UpdateFailure::Expired << u"expired at 2026-01-01T00:00:00Z"_s;
    QTest::newRow("manifest over its cap") << Prepare(
            [](TestUpdateCheck &, const QString &repository, UpdateCheckSettings &, QString &) {
                QFile file(repository + u"/release.manifest"_s);
                return file.open(QIODevice::ReadWrite)
                        && file.resize(UpdateManifest::MaximumSize + 1);
            }) << UpdateFailure::Network << u"more than the 4194304 allowed"_s;
    QTest::newRow("signature over its cap") << Prepare(
            [](TestUpdateCheck &, const QString &repository, UpdateCheckSettings &, QString &) {
                QFile file(repository + u"/release.manifest.minisig"_s);
                return file.open(QIODevice::ReadWrite) && file.resize(1 << 20);
            }) << UpdateFailure::Network << u"more than the 16384 allowed"_s;
    QTest::newRow("manifest that never ends") << Prepare([](TestUpdateCheck &test, const QString &,
                                                            UpdateCheckSettings &settings,
                                                            QString &error) {
        return fromServer(test.endlessServer.url(u"repo"_s))(test, QString(), settings, error);
    }) << UpdateFailure::Network << u"larger than the"_s;
    QTest::newRow("manifest that trickles for ever")
            << Prepare([](TestUpdateCheck &test, const QString &, UpdateCheckSettings &settings,
                          QString &error) {
                   settings.timeLimitMs = 1500;
                   return fromServer(test.trickleServer.url(u"repo"_s))(test, QString(), settings,
                                                                        error);
               })
            << UpdateFailure::Network << u"not fetched whole within 1.5 s"_s;

    const QString refusedPath = u"the path"_s;
    const struct
    {
        const char *row;
        QStringList paths;
    } paths[] = {
            {"absolute path", {u"/etc/passwd"_s}},
            {"path with ..", {u"com.norvatek.lumeral/../../escape"_s}},
            {"path that is ..", {u".."_s}},
            {"path with a backslash", {u"com.norvatek.lumeral\\2.0.0content.7z"_s}},
            {"path with a drive letter", {u"C:/Windows/system32/evil.dll"_s}},
            {"path relative to a drive", {u"C:evil.dll"_s}},
            {"path with an empty segment", {u"com.norvatek.lumeral//x"_s}},
            {"path ending in a slash", {u"com.norvatek.lumeral/"_s}},
            {"path with NUL", {u"a\u0000b"_s}},
            {"paths equal but for letter case", {u"Updates.xml"_s, u"updates.xml"_s}},
            {"path both a file and a folder", {u"data"_s, u"data/x.7z"_s}},
            {"path naming a Windows device", {u"lib/nul.txt"_s}},
            {"path ending in a dot", {u"lib/x."_s}},
            {"path with a character Windows refuses", {u"lib/a?b"_s}},
            {"path of the manifest itself", {u"release.manifest"_s}},
    };
    for (const auto &row : paths)
        QTest::newRow(row.row) << handMade(row.paths) << malformed << refusedPath;
    QTest::newRow("unknown format version") << handMade({u"Updates.xml"_s}, "2")
                                            << UpdateFailure::UnsupportedFormat << u"format 2"_s;
    QTest::newRow("malformed header")
            << Prepare([](TestUpdateCheck &test, const QString &repository, UpdateCheckSettings &,
                          QString &error) {
                   QByteArray text = handMadeManifest({u"Updates.xml"_s});
                   text.replace("sequence 5", "sequence 05");
                   return writeFile(repository + u"/release.manifest"_s, text)
                           && test.signer.sign(repository, error);
               })
            << malformed << u"\"sequence\" and a number expected"_s;
}

void TestUpdateCheck::refusals()
{
    QFETCH(Prepare, prepare);
    QFETCH(UpdateFailure, failure);
    QFETCH(QString, message);
    QString error;
    const QString name = u"refusal-%1"_s.arg(published);
    const QString repository = publish(name, {}, error);
    QVERIFY2(!repository.isEmpty(), qPrintable(error));
    UpdateCheckSettings settings = settingsFor(server.httpUrl(name));
    QVERIFY2(prepare(*this, repository, settings, error), qPrintable(error));

    const QMap<QString, QByteArray> before = snapshot();
    const UpdateCheckResult result = check(settings);
    QCOMPARE(result.outcome, UpdateCheckResult::Outcome::Failed);
    QCOMPARE(result.failure, failure);
    QVERIFY2(result.errorString.contains(message), qPrintable(result.errorString));
    QVERIFY(result.version.isEmpty());
    QVERIFY(result.manifest.files.isEmpty());
    expectUntouched(before);
}

void TestUpdateCheck::failuresAreNeverUpToDate_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("components");
    QTest::addColumn<UpdateFailure>("failure");
    QTest::addColumn<QString>("message");
    QTest::newRow("connection refused") << u"http://127.0.0.1:1/repo"_s << componentsXml("2.0.0")
                                        << UpdateFailure::Network << u"refused"_s;
    QTest::newRow("no such host") << u"http://updates.corvane.test/repo"_s << componentsXml("2.0.0")
                                  << UpdateFailure::Network << u"not found"_s;
    QTest::newRow("404") << u"http:missing"_s << componentsXml("2.0.0") << UpdateFailure::Network
                         << u"Not Found"_s;
    QTest::newRow("500") << u"http:answers-500/repo"_s << componentsXml("2.0.0")
                         << UpdateFailure::Network << u"500"_s;
    QTest::newRow("HTTPS from an authority the client does not trust")
            << u"https:published"_s << componentsXml("2.0.0") << UpdateFailure::Network
            << u"certificate"_s;
    QTest::newRow("installed version unreadable")
            << u"http:published"_s << QByteArray("<Packages><Package>")
            << UpdateFailure::Installation << u"components.xml"_s;
}

void TestUpdateCheck::failuresAreNeverUpToDate()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, components);
    QFETCH(UpdateFailure, failure);
    QFETCH(QString, message);
    QVERIFY(writeFile(directory->filePath(u"installation/components.xml"_s), components));
    QString error;
    const QString name = u"published-%1"_s.arg(published);
    QVERIFY2(!publish(name, {}, error).isEmpty(), qPrintable(error));
    if (url.startsWith(u"http:"_s) && !url.startsWith(u"http://"_s))
        url = server.httpUrl(url.mid(5).replace(u"published"_s, name));
    else if (url.startsWith(u"https:"_s))
        url = server.httpsUrl(name);

    const QMap<QString, QByteArray> before = snapshot();
    const UpdateCheckResult result = check(settingsFor(url));
    QCOMPARE(result.outcome, UpdateCheckResult::Outcome::Failed);
    QCOMPARE(result.failure, failure);
    QVERIFY2(result.errorString.contains(message, Qt::CaseInsensitive),
             qPrintable(result.errorString));
    expectUntouched(before);
}

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "tst_update_check.moc"
