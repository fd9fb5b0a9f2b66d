#include "update_installation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

class tst_UpdateInstallation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void matchesVersion_data();
    void matchesVersion();
    void onlyAReadableRegularFileCounts_data();
    void onlyAReadableRegularFileCounts();
    void filesAboveFourMebibytesAreNotRead_data();
    void filesAboveFourMebibytesAreNotRead();
    void fileNameIsAppendedToTheDirectoryTextUnchanged_data();
    void fileNameIsAppendedToTheDirectoryTextUnchanged();

private:
    bool writeComponents(const QString &directory, const QByteArray &content);

    QByteArray originalTemporaryDirectory;
    QString originalWorkingDirectory;
    std::unique_ptr<QTemporaryDir> sandbox;
};

namespace {

const QByteArray ourPackage("com.norvatek.lumeral");

QByteArray package(const QByteArray &name, const QByteArray &version)
{
    return "<Package>\n  <Name>" + name + "</Name>\n  <Version>" + version
            + "</Version>\n</Package>\n";
}

QByteArray document(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Packages>\n" + body + "</Packages>\n";
}

QByteArray installed(const QByteArray &version)
{
    return document(package("com.norvatek.other", "9.9.9") + package(ourPackage, version));
}

} // namespace

void tst_UpdateInstallation::initTestCase()
{
    originalTemporaryDirectory = qgetenv("TMPDIR");
    originalWorkingDirectory = QDir::currentPath();
}

void tst_UpdateInstallation::init()
{
    sandbox = std::make_unique<QTemporaryDir>();
    QVERIFY2(sandbox->isValid(), qPrintable(sandbox->errorString()));
    qputenv("TMPDIR", QFile::encodeName(sandbox->path()));
}

void tst_UpdateInstallation::cleanup()
{
    QDir::setCurrent(originalWorkingDirectory);
    sandbox.reset();
    qputenv("TMPDIR", originalTemporaryDirectory);
}

bool tst_UpdateInstallation::writeComponents(const QString &directory, const QByteArray &content)
{
    QFile file(directory + u"/components.xml"_s);
    return QDir().mkpath(directory) && file.open(QIODevice::WriteOnly)
            && file.write(content) == content.size();
}

void tst_UpdateInstallation::matchesVersion_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedVersion");
    QTest::addColumn<bool>("matches");

    const QByteArray v251 = installed("2.5.1");
    QTest::newRow("same version") << v251 << "2.5.1" << true;
    QTest::newRow("expected has fewer segments") << v251 << "2.5" << false;
    QTest::newRow("expected has more segments") << v251 << "2.5.1.0" << false;
    QTest::newRow("different version") << v251 << "2.5.2" << false;
    QTest::newRow("leading zeros installed") << installed("02.05.001") << "2.5.1" << true;
    QTest::newRow("leading zeros expected") << installed("1.2") << "1.02" << true;
    QTest::newRow("single segment") << installed("7") << "7" << true;
    QTest::newRow("largest segment") << installed("2147483647") << "2147483647" << true;
    QTest::newRow("segment overflowing int") << installed("2147483648") << "2147483648" << false;
    QTest::newRow("segment overflowing 64 bits")
            << installed("1.99999999999999999999") << "1.99999999999999999999" << false;
    QTest::newRow("overflow wrapping onto the expected value")
            << installed("4294967298") << "2" << false;

    // Only whole version numbers count, on either side.
    QTest::newRow("installed with build suffix") << installed("2.5.1-1") << "2.5.1" << false;
    QTest::newRow("installed with trailing line break") << installed("2.5.1\n") << "2.5.1" << false;
    QTest::newRow("installed padded by the layout")
            << installed("\n    2.5.1\n  ") << "2.5.1" << false;
    QTest::newRow("installed negative") << installed("-2.5.1") << "-2.5.1" << false;
    QTest::newRow("installed with letters") << installed("2.5.1a") << "2.5.1" << false;
    QTest::newRow("installed with trailing dot") << installed("2.5.") << "2.5" << false;
    QTest::newRow("installed with double dot") << installed("2..5") << "2..5" << false;
    QTest::newRow("installed with leading dot") << installed(".2.5") << ".2.5" << false;
    QTest::newRow("installed in hexadecimal") << installed("0x2.5") << "0x2.5" << false;
    QTest::newRow("installed in Arabic-Indic digits")
            << installed("\xd9\xa2.\xd9\xa5") << "\u0662.\u0665" << false;
    QTest::newRow("installed empty") << installed("") << "2.5.1" << false;
    QTest::newRow("expected with trailing space") << v251 << "2.5.1 " << false;
    QTest::newRow("expected with build suffix") << installed("2.5.1-1") << "2.5.1-1" << false;
    QTest::newRow("expected empty") << v251 << "" << false;
    QTest::newRow("both empty") << installed("") << "" << false;

    // Which Package counts.
    const QByteArray versionFirst
            = "<Package><Version>2.5.1</Version><Name>" + ourPackage + "</Name></Package>\n";
    QTest::newRow("Version before Name") << document(versionFirst) << "2.5.1" << true;
    QTest::newRow("Name in other letter case")
            << document(package("com.norvatek.Lumeral", "2.5.1")) << "2.5.1" << false;
    QTest::newRow("Name with surrounding space")
            << document(package(" " + ourPackage, "2.5.1")) << "2.5.1" << false;
    QTest::newRow("no matching Package")
            << document(package("com.norvatek.other", "2.5.1")) << "2.5.1" << false;
    QTest::newRow("no Package at all") << document("") << "2.5.1" << false;
    QTest::newRow("Package element in other letter case") << document(
            "<package><Name>" + ourPackage + "</Name><Version>2.5.1</Version></package>")
                                                          << "2.5.1" << false;
    const QByteArray twoPackages
            = document(package(ourPackage, "1.0") + package(ourPackage, "2.0"));
    QTest::newRow("last matching Package decides, newer") << twoPackages << "2.0" << true;
    QTest::newRow("last matching Package decides, older") << twoPackages << "1.0" << false;
    QTest::newRow("later matching Package without Version") << document(
            package(ourPackage, "2.5.1") + "<Package><Name>" + ourPackage + "</Name></Package>")
                                                            << "2.5.1" << false;
    QTest::newRow("repeated Version, the later wins")
            << document("<Package><Name>" + ourPackage
                        + "</Name><Version>1.0</Version><Version>2.5.1</Version></Package>")
            << "2.5.1" << true;
    QTest::newRow("empty Version element")
            << document("<Package><Name>" + ourPackage + "</Name><Version/></Package>") << "2.5.1"
            << false;
    QTest::newRow("Package nested deep")
            << document("<Group><Inner>" + package(ourPackage, "2.5.1") + "</Inner></Group>")
            << "2.5.1" << true;
    QTest::newRow("Package as the root element") << package(ourPackage, "2.5.1") << "2.5.1" << true;
    QTest::newRow("Version only as a grandchild")
            << document("<Package><Name>" + ourPackage
                        + "</Name><Details><Version>2.5.1</Version></Details></Package>")
            << "2.5.1" << false;
    QTest::newRow("grandchild Version does not override")
            << document("<Package><Name>" + ourPackage
                        + "</Name><Version>2.5.1</Version><Details><Version>9</Version></Details>"
                          "</Package>")
            << "2.5.1" << true;
    QTest::newRow("Package inside a Package is skipped") << document(
            "<Package><Name>other</Name><Sub>" + package(ourPackage, "2.5.1") + "</Sub></Package>")
                                                         << "2.5.1" << false;
    QTest::newRow("attributes are ignored")
            << document("<Package id=\"1\"><Name lang=\"en\">" + ourPackage
                        + "</Name><Version type=\"x\">2.5.1</Version></Package>")
            << "2.5.1" << true;
    QTest::newRow("default namespace") << document("<Package xmlns=\"urn:x\"><Name>" + ourPackage
                                                   + "</Name><Version>2.5.1</Version></Package>")
                                       << "2.5.1" << true;
    QTest::newRow("prefixed elements")
            << document("<p:Package xmlns:p=\"urn:x\"><p:Name>" + ourPackage
                        + "</p:Name><p:Version>2.5.1</p:Version></p:Package>")
            << "2.5.1" << true;
    QTest::newRow("undeclared prefix")
            << document("<p:Package><p:Name>" + ourPackage
                        + "</p:Name><p:Version>2.5.1</p:Version></p:Package>")
            << "2.5.1" << false;

    // Text of Name and Version as XML defines it.
    QTest::newRow("Version as CDATA")
            << document("<Package><Name>" + ourPackage
                        + "</Name><Version><![CDATA[2.5.1]]></Version></Package>")
            << "2.5.1" << true;
    QTest::newRow("comment inside Version")
            << document("<Package><Name>" + ourPackage
                        + "</Name><Version>2.5<!-- minor -->.1</Version></Package>")
            << "2.5.1" << true;
    QTest::newRow("character reference in Version")
            << document(package(ourPackage, "&#50;.5.1")) << "2.5.1" << true;
    QTest::newRow("entity declared in the DOCTYPE")
            << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE Packages [<!ENTITY v \"2.5.1\">]>\n"
                          "<Packages>"
                          + package(ourPackage, "&v;") + "</Packages>")
            << "2.5.1" << true;
    QTest::newRow("undeclared entity") << document(package(ourPackage, "&v;")) << "2.5.1" << false;
    QTest::newRow("external entity is not fetched")
            << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE Packages [<!ENTITY v SYSTEM "
                          "\"file://@DIR@/version.txt\">]>\n<Packages>"
                          + package(ourPackage, "&v;") + "</Packages>")
            << "2.5.1" << false;
    QByteArray laughs("<?xml version=\"1.0\"?>\n<!DOCTYPE Packages [\n<!ENTITY l0 \"1\">\n");
    for (int level = 1; level < 10; ++level) {
        laughs += "<!ENTITY l" + QByteArray::number(level) + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += "&l" + QByteArray::number(level - 1) + ';';
        laughs += "\">\n";
    }
    laughs += "]>\n<Packages>" + package(ourPackage, "&l9;") + "</Packages>";
    QTest::newRow("entity expansion bomb") << laughs << "1" << false;
    QTest::newRow("UTF-8 byte order mark") << "\xef\xbb\xbf" + v251 << "2.5.1" << true;
    QStringEncoder toUtf16(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
    const QByteArray utf16 = toUtf16(QString::fromUtf8(v251).replace(u"UTF-8"_s, u"UTF-16"_s));
    QTest::newRow("UTF-16 with byte order mark") << utf16 << "2.5.1" << true;
    QTest::newRow("no XML declaration")
            << QByteArray("<Packages>" + package(ourPackage, "2.5.1") + "</Packages>") << "2.5.1"
            << true;

    // Malformed documents are false even when the package was read before the fault.
    QTest::newRow("empty file") << QByteArray("") << "2.5.1" << false;
    QTest::newRow("unclosed element at the end") << v251 + "<Extra>"
                                                 << "2.5.1" << false;
    QTest::newRow("unclosed root") << v251.chopped(12) << "2.5.1" << false;
    QTest::newRow("mismatched closing tag")
            << document("<Package><Name>" + ourPackage + "</Name><Version>2.5.1</Versio></Package>")
            << "2.5.1" << false;
    QTest::newRow("child element inside Version") << document(
            "<Package><Name>" + ourPackage + "</Name><Version>2.5.1<b/></Version></Package>")
                                                  << "2.5.1" << false;
    QTest::newRow("child element inside Name") << document(
            "<Package><Name><i>" + ourPackage + "</i></Name><Version>2.5.1</Version></Package>")
                                               << "2.5.1" << false;
    QTest::newRow("second root element") << v251 + "<Packages/>\n"
                                         << "2.5.1" << false;
    QTest::newRow("text after the root") << v251 + "trailing"
                                         << "2.5.1" << false;
    QTest::newRow("unescaped ampersand later on")
            << document(package(ourPackage, "2.5.1") + package("a & b", "1")) << "2.5.1" << false;
    QTest::newRow("not XML at all") << QByteArray("Version=2.5.1\n") << "2.5.1" << false;
    QTest::newRow("NUL byte in the text")
            << document(package(ourPackage, QByteArray("2.5.1\0", 6))) << "2.5.1" << false;
}

void tst_UpdateInstallation::matchesVersion()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedVersion);
    QFETCH(bool, matches);
    // "@DIR@" stands for the test's own directory, which holds version.txt with "2.5.1".
    QFile version(sandbox->filePath(u"version.txt"_s));
    QVERIFY(version.open(QIODevice::WriteOnly) && version.write("2.5.1") == 5);
    version.close();
    content.replace("@DIR@", QFile::encodeName(sandbox->path()));
    const QString directory = sandbox->filePath(u"App"_s);
    QVERIFY(writeComponents(directory, content));

    QCOMPARE(UpdateInstallation::matchesVersion(directory, expectedVersion), matches);
}

void tst_UpdateInstallation::onlyAReadableRegularFileCounts_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("matches");
    QTest::newRow("regular file") << "file" << true;
    QTest::newRow("link to a regular file") << "link" << true;
    QTest::newRow("no file") << "none" << false;
    QTest::newRow("dangling link") << "dangling" << false;
    QTest::newRow("directory") << "directory" << false;
    // Opening a FIFO for reading would wait for a writer for ever.
    QTest::newRow("FIFO") << "fifo" << false;
}

void tst_UpdateInstallation::onlyAReadableRegularFileCounts()
{
    QFETCH(QString, kind);
    QFETCH(bool, matches);
    const QString directory = sandbox->filePath(u"App"_s);
    const QString file = directory + u"/components.xml"_s;
    const QString elsewhere = sandbox->filePath(u"Elsewhere"_s);
    QVERIFY(QDir().mkpath(directory));
    QVERIFY(writeComponents(elsewhere, installed("2.5.1")));

    if (kind == QLatin1String("file"))
        QVERIFY(writeComponents(directory, installed("2.5.1")));
    else if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(elsewhere + u"/components.xml"_s, file));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(elsewhere + u"/missing.xml"_s, file));
    else if (kind == QLatin1String("directory"))
        QVERIFY(writeComponents(file, installed("2.5.1")));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0644), 0);

    QCOMPARE(UpdateInstallation::matchesVersion(directory, u"2.5.1"_s), matches);
}

void tst_UpdateInstallation::filesAboveFourMebibytesAreNotRead_data()
{
    // Valid documents padded to a given size; only the size decides.
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("padding");
    QTest::addColumn<QByteArray>("tail");
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("matches");

    const QByteArray head = document(package(ourPackage, "2.5.1")).chopped(12);
    const QByteArray tail("</Packages>\n");
    const QByteArray whiteSpaceHead = document(package(ourPackage, "2.5.1"));
    QTest::newRow("one byte under, comment")
            << head << QByteArray("comment") << tail << qsizetype(4194303) << true;
    QTest::newRow("exactly 4 MiB, comment")
            << head << QByteArray("comment") << tail << qsizetype(4194304) << true;
    QTest::newRow("one byte over, comment")
            << head << QByteArray("comment") << tail << qsizetype(4194305) << false;
    QTest::newRow("exactly 4 MiB, white space")
            << whiteSpaceHead << QByteArray("space") << QByteArray() << qsizetype(4194304) << true;
    QTest::newRow("one byte over, white space")
            << whiteSpaceHead << QByteArray("space") << QByteArray() << qsizetype(4194305) << false;
}

void tst_UpdateInstallation::filesAboveFourMebibytesAreNotRead()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, padding);
    QFETCH(QByteArray, tail);
    QFETCH(qsizetype, size);
    QFETCH(bool, matches);

    QByteArray content = head;
    if (padding == "comment") {
        const qsizetype fill = size - head.size() - tail.size() - 7;
        content += "<!--" + QByteArray(fill, 'x') + "-->";
    } else {
        content += QByteArray(size - head.size() - tail.size(), ' ');
    }
    content += tail;
    QCOMPARE(content.size(), size);

    const QString directory = sandbox->filePath(u"App"_s);
    QVERIFY(writeComponents(directory, content));
    QCOMPARE(QFileInfo(directory + u"/components.xml"_s).size(), size);
    QCOMPARE(UpdateInstallation::matchesVersion(directory, u"2.5.1"_s), matches);
}

void tst_UpdateInstallation::fileNameIsAppendedToTheDirectoryTextUnchanged_data()
{
    // "@" stands for the test's own directory, which is also the working directory and holds
    // App/components.xml.
    QTest::addColumn<QString>("directoryText");
    QTest::addColumn<bool>("matches");
    QTest::newRow("absolute directory") << "@/App" << true;
    QTest::newRow("trailing slash") << "@/App/" << true;
    QTest::newRow("relative to the working directory") << "App" << true;
    QTest::newRow("parent step through an existing directory") << "@/App/../App" << true;
    QTest::newRow("parent step through a missing directory") << "@/Missing/../App" << false;
    QTest::newRow("empty text names the root, not the working directory") << "" << false;
    QTest::newRow("the file itself") << "@/App/components.xml" << false;
    QTest::newRow("letter case of the directory") << "@/APP" << false;
}

void tst_UpdateInstallation::fileNameIsAppendedToTheDirectoryTextUnchanged()
{
    QFETCH(QString, directoryText);
    QFETCH(bool, matches);
    QVERIFY(writeComponents(sandbox->filePath(u"App"_s), installed("2.5.1")));
    QVERIFY(writeComponents(sandbox->path(), installed("2.5.1")));
    QVERIFY(QDir::setCurrent(sandbox->path()));
    QVERIFY2(!QFileInfo::exists(u"/components.xml"_s),
             "a /components.xml on this machine makes the empty-text row meaningless");

    directoryText.replace(QLatin1Char('@'), sandbox->path());
    QCOMPARE(UpdateInstallation::matchesVersion(directoryText, u"2.5.1"_s), matches);
}

QTEST_GUILESS_MAIN(tst_UpdateInstallation)
#include "tst_update_installation.moc"
