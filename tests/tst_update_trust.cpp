#include "release_signer.h"
#include "test_files.h"
#include "update_manifest.h"
#include "update_signature.h"

#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

// The trust part on bytes alone: minisign's signature read as minisign reads it (every signature
// file below is also given to Debian's minisign -V), and the manifest's one text.
class TestUpdateTrust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signaturesVerifyOnlyWhereMinisignVerifies_data();
    void signaturesVerifyOnlyWhereMinisignVerifies();
    void manifestsHaveOneText_data();
    void manifestsHaveOneText();

private:
    QTemporaryDir directory;
    ReleaseSigner signer;
    UpdateSignature::PublicKey key;
};

namespace {

const QByteArray Manifest
        = "corvane-release-manifest 1\n"
          "version 2.0.0\n"
          "sequence 17\n"
          "expires 2027-01-31T00:00:00Z\n"
          "file 2c26b46b68ffc68ff99b453c1d30413413422d706483bfa0f98a5e886266e7ae 3 "
          "Updates.xml\n"
          "file fcde2b2edba56bf408601fb721fe9b5c338d10ee429ea04fae5511b68fbf8fb9 3 "
          "com.norvatek.lumeral/2.0.0content 1.7z\n";

bool minisignAccepts(const QString &publicKey, const QString &repository)
{
    QProcess minisign;
    minisign.start(u"minisign"_s,
                   {u"-V"_s, u"-p"_s, publicKey, u"-m"_s, repository + u"/release.manifest"_s});
    return minisign.waitForFinished(30000) && minisign.exitStatus() == QProcess::NormalExit
            && minisign.exitCode() == 0;
}

} // namespace

void TestUpdateTrust::initTestCase()
{
    QVERIFY2(directory.isValid(), qPrintable(directory.errorString()));
    QString error;
    QVERIFY2(signer.create(directory.filePath(u"keys"_s), QString(), error), qPrintable(error));
    QVERIFY2(UpdateSignature::parsePublicKey(signer.publicKey(), key, error), qPrintable(error));
    // The key's line alone is a key too, as minisign -P takes it.
    UpdateSignature::PublicKey line;
    QVERIFY(UpdateSignature::parsePublicKey(signer.publicKey().split(u'\n').at(1), line, error));
    QCOMPARE(line.keyId, key.keyId);
}

void TestUpdateTrust::signaturesVerifyOnlyWhereMinisignVerifies_data()
{
    // options: minisign -S's; change: what is done to the signature file (or, with "message",
    // to the manifest) after signing; minisign, kit: whether each accepts it. They differ only
    // where the kit is the stricter one.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<bool>("minisign");
    QTest::addColumn<bool>("kit");
    const QStringList hashed;
    QTest::newRow("as minisign -S signs") << hashed << QByteArray() << true << true;
    QTest::newRow("legacy format (-l)") << QStringList {u"-l"_s} << QByteArray() << true << true;
    QTest::newRow("a trusted comment of the publisher's")
            << QStringList {u"-t"_s, u"release 2.0.0, sequence 17"_s} << QByteArray() << true
            << true;
    QTest::newRow("untrusted comment changed") << hashed << QByteArray("untrusted") << true << true;
    QTest::newRow("CR LF line ends") << hashed << QByteArray("crlf") << true << true;
    QTest::newRow("no line end after the last line")
            << hashed << QByteArray("chop") << true << true;
    QTest::newRow("the message changed") << hashed << QByteArray("message") << false << false;
    QTest::newRow("trusted comment changed") << hashed << QByteArray("trusted") << false << false;
    QTest::newRow("the algorithm of the other format")
            << hashed << QByteArray("algorithm") << false << false;
    QTest::newRow("another key id") << hashed << QByteArray("key id") << false << false;
    QTest::newRow("a signature line cut short") << hashed << QByteArray("short") << false << false;
    QTest::newRow("a space after the signature") << hashed << QByteArray("space") << false << false;
    QTest::newRow("no untrusted comment prefix")
            << hashed << QByteArray("prefix") << false << false;
    QTest::newRow("the global signature missing")
            << hashed << QByteArray("three lines") << false << false;
    // minisign reads four lines and ignores the rest; the kit wants nothing after them.
    QTest::newRow("a line after the global signature")
            << hashed << QByteArray("fifth line") << true << false;
}

void TestUpdateTrust::signaturesVerifyOnlyWhereMinisignVerifies()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, change);
    QFETCH(bool, minisign);
    QFETCH(bool, kit);
    const QString repository = directory.filePath(QString::fromLatin1(QTest::currentDataTag()));
    const QString manifestPath = repository + u"/release.manifest"_s;
    const QString signaturePath = repository + u"/release.manifest.minisig"_s;
    QVERIFY(writeFile(manifestPath, Manifest));
    QString error;
    QVERIFY2(signer.sign(repository, error, options), qPrintable(error));

    QByteArray signature = readFile(signaturePath);
    QList<QByteArray> lines = signature.split('\n');
    QByteArray record = QByteArray::fromBase64(lines.at(1));
    if (change == "untrusted")
        lines[0] = "untrusted comment: anything at all";
    else if (change == "trusted")
        lines[2] += " (approved)";
    else if (change == "algorithm")
        record[1] = record.at(1) == 'D' ? 'd' : 'D';
    else if (change == "key id")
        record[5] = char(record.at(5) ^ 0x01);
    else if (change == "short")
        lines[1].chop(4);
    else if (change == "space")
        lines[1] += ' ';
    else if (change == "prefix")
        lines[0] = lines.at(0).mid(19);
    else if (change == "three lines")
        lines = lines.mid(0, 3) << QByteArray();
    else if (change == "fifth line")
        lines.insert(4, "a fifth line");
    if (change == "algorithm" || change == "key id")
        lines[1] = record.toBase64();
    signature = lines.join('\n');
    if (change == "crlf")
        signature.replace("\n", "\r\n");
    else if (change == "chop")
        signature.chop(1);
    QVERIFY(writeFile(signaturePath, signature));
    QByteArray message = Manifest;
    if (change == "message") {
        message[20] = '2';
        QVERIFY(writeFile(manifestPath, message));
    }

    QCOMPARE(minisignAccepts(signer.publicKeyPath(), repository), minisign);
    const UpdateSignature::Verification verification
            = UpdateSignature::verify(message, signature, {key});
    QVERIFY2((verification.result == UpdateSignature::Result::Verified) == kit,
             qPrintable(verification.error));
    if (kit && !options.contains(u"-t"_s))
        QVERIFY(verification.trustedComment.startsWith(u"timestamp:"_s));
}

void TestUpdateTrust::manifestsHaveOneText_data()
{
    // replace: a piece of the valid manifest and what stands in its place; error: what the
    // reader says, empty when it reads the text.
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("error");
    QTest::newRow("as written") << QByteArray() << QByteArray() << QString();
    QTest::newRow("CR LF") << QByteArray("\n") << QByteArray("\r\n") << u"not a release manifest"_s;
    QTest::newRow("a CR inside") << QByteArray("2.0.0\n") << QByteArray("2.0.0\r\n")
                                 << u"LF line ends"_s;
    QTest::newRow("a byte-order mark") << QByteArray("corvane")
                                       << QByteArray("\xEF\xBB\xBF"
                                                     "corvane")
                                       << u"not a release manifest"_s;
    QTest::newRow("no line end at the end")
            << QByteArray("1.7z\n") << QByteArray("1.7z") << u"no line end"_s;
    QTest::newRow("an empty line") << QByteArray("Z\n") << QByteArray("Z\n\n") << u"line 5"_s;
    QTest::newRow("headers in another order")
            << QByteArray("version 2.0.0\nsequence 17") << QByteArray("sequence 17\nversion 2.0.0")
            << u"line 2"_s;
    QTest::newRow("a version with a suffix")
            << QByteArray("2.0.0\n") << QByteArray("2.0.0-1\n") << u"line 2"_s;
    QTest::newRow("a sequence with a sign")
            << QByteArray("sequence 17") << QByteArray("sequence +17") << u"line 3"_s;
    QTest::newRow("a sequence too large")
            << QByteArray("sequence 17") << QByteArray("sequence 99999999999999999999")
            << u"line 3"_s;
    QTest::newRow("an expiry in another zone")
            << QByteArray("00:00:00Z") << QByteArray("00:00:00+01:00") << u"line 4"_s;
    QTest::newRow("an expiry with milliseconds")
            << QByteArray("00:00:00Z") << QByteArray("00:00:00.000Z") << u"line 4"_s;
    QTest::newRow("an expiry that is no date")
            << QByteArray("2027-01-31") << QByteArray("2027-02-31") << u"line 4"_s;
    QTest::newRow("a digest in capitals")
            << QByteArray("2c26b46b68ffc68ff") << QByteArray("2C26B46B68FFC68FF") << u"line 5"_s;
    QTest::newRow("a size with a leading zero")
            << QByteArray(" 3 Updates") << QByteArray(" 03 Updates") << u"line 5"_s;
    QTest::newRow("two spaces") << QByteArray(" 3 Updates") << QByteArray("  3 Updates")
                                << u"line 5"_s;
    QTest::newRow("files out of order")
            << QByteArray("Updates.xml") << QByteArray("z.xml") << u"out of order"_s;
    QTest::newRow("the same path twice")
            << QByteArray("com.norvatek.lumeral/2.0.0content 1.7z") << QByteArray("Updates.xml")
            << u"out of order or repeated"_s;
    QTest::newRow("a line of another kind")
            << QByteArray("file 2c26") << QByteArray("link 2c26") << u"line 5"_s;
    QTest::newRow("no files") << Manifest.mid(Manifest.indexOf("file ")) << QByteArray()
                              << u"lists no files"_s;
    QTest::newRow("not UTF-8") << QByteArray("content 1") << QByteArray("content \xff")
                               << u"UTF-8"_s;
}

void TestUpdateTrust::manifestsHaveOneText()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, error);
    QByteArray text = Manifest;
    if (!from.isEmpty())
        text.replace(from, to);
    UpdateManifest manifest;
    QString reason;
    const UpdateManifest::ParseResult result = UpdateManifest::parse(text, manifest, reason);
    if (!error.isEmpty()) {
        QCOMPARE(result, UpdateManifest::ParseResult::Malformed);
        QVERIFY2(reason.contains(error), qPrintable(reason));
        QVERIFY(manifest.files.isEmpty());
        return;
    }
    QVERIFY2(result == UpdateManifest::ParseResult::Parsed, qPrintable(reason));
    QCOMPARE(manifest.version, u"2.0.0"_s);
    QCOMPARE(manifest.sequence, qint64(17));
    QCOMPARE(manifest.expires, QDateTime(QDate(2027, 1, 31), QTime(0, 0), Qt::UTC));
    QCOMPARE(manifest.files.size(), 2);
    QCOMPARE(manifest.files.at(1).path, u"com.norvatek.lumeral/2.0.0content 1.7z"_s);
    QCOMPARE(manifest.totalSize(), qint64(6));
    // The text written from what was read is the text read.
    QCOMPARE(manifest.toBytes(), Manifest);
}

QTEST_GUILESS_MAIN(TestUpdateTrust)
#include "tst_update_trust.moc"
