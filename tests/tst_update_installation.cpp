#include "update_installation.h"

#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

// What the installer's components.xml must say for an expected version to count as installed.
// How the XML reader itself treats markup, entities and encodings is left to the fuzz target
// and its corpus.
class tst_UpdateInstallation : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void matchesOnlyTheLastPackageOfTheClientAtTheSameVersion_data();
    void matchesOnlyTheLastPackageOfTheClientAtTheSameVersion();
    void onlyARegularFileOfAtMostFourMebibytesIsRead_data();
    void onlyARegularFileOfAtMostFourMebibytesIsRead();

private:
    std::unique_ptr<TestDirectory> dir;
};

namespace {

QByteArray package(const QByteArray &name, const QByteArray &version)
{
    return "<Package><Name>" + name + "</Name><Version>" + version + "</Version></Package>\n";
}

QByteArray document(const QByteArray &body)
{
    return "<?xml version=\"1.0\"?>\n<Packages>\n" + body + "</Packages>\n";
}

const QByteArray ours("com.norvatek.lumeral");

QByteArray installed(const QByteArray &version)
{
    return document(package("com.norvatek.other", "9.9.9") + package(ours, version));
}

} // namespace

void tst_UpdateInstallation::init()
{
    dir.reset();
    dir = std::make_unique<TestDirectory>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
}

void tst_UpdateInstallation::matchesOnlyTheLastPackageOfTheClientAtTheSameVersion_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("matches");

    // Versions compare as numbers, segment by segment, and must be whole on either side.
    QTest::newRow("same version") << installed("2.5.1") << u"2.5.1"_s << true;
    QTest::newRow("leading zeros") << installed("02.05.001") << u"2.5.01"_s << true;
    QTest::newRow("fewer segments expected") << installed("2.5.1") << u"2.5"_s << false;
    QTest::newRow("more segments expected") << installed("2.5.1") << u"2.5.1.0"_s << false;
    QTest::newRow("segment overflowing 32 bits, wrapping onto the expected one")
            << installed("4294967298") << u"2"_s << false;
    QTest::newRow("installed with a suffix") << installed("2.5.1-1") << u"2.5.1"_s << false;
    QTest::newRow("expected with a space") << installed("2.5.1") << u"2.5.1 "_s << false;

    // Which Package counts: the last one named exactly so, with its own Version child.
    const QByteArray twice = document(package(ours, "1.0") + package(ours, "2.0"));
    QTest::newRow("last of two decides, newer") << twice << u"2.0"_s << true;
    QTest::newRow("last of two decides, older") << twice << u"1.0"_s << false;
    QTest::newRow("a later one without Version")
            << document(package(ours, "2.5.1") + "<Package><Name>" + ours + "</Name></Package>")
            << u"2.5.1"_s << false;
    QTest::newRow("Name in other letter case")
            << document(package("com.norvatek.Lumeral", "2.5.1")) << u"2.5.1"_s << false;
    QTest::newRow("Version only as a grandchild")
            << document("<Package><Name>" + ours
                        + "</Name><Details><Version>2.5.1</Version></Details></Package>")
            << u"2.5.1"_s << false;
    QTest::newRow("Package nested in another Package") << document(
            "<Package><Name>x</Name><Sub>" + package(ours, "2.5.1") + "</Sub></Package>")
                                                       << u"2.5.1"_s << false;

    // A document broken after the package was read is not believed.
    QTest::newRow("element left open") << installed("2.5.1") + "<Extra>" << u"2.5.1"_s << false;
    QTest::newRow("text after the root") << installed("2.5.1") + "x" << u"2.5.1"_s << false;
}

void tst_UpdateInstallation::matchesOnlyTheLastPackageOfTheClientAtTheSameVersion()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QFETCH(bool, matches);
    QVERIFY(writeFile(dir->filePath(u"App/components.xml"_s), content));
    QCOMPARE(UpdateInstallation::matchesVersion(dir->filePath(u"App"_s), expected), matches);
}

void tst_UpdateInstallation::onlyARegularFileOfAtMostFourMebibytesIsRead_data()
{
    // What stands at App/components.xml.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("matches");
    QTest::newRow("exactly 4 MiB") << u"file"_s << qsizetype(4194304) << true;
    QTest::newRow("one byte over") << u"file"_s << qsizetype(4194305) << false;
    QTest::newRow("link to a file") << u"link"_s << qsizetype(0) << true;
    QTest::newRow("no file") << u"none"_s << qsizetype(0) << false;
    QTest::newRow("directory") << u"directory"_s << qsizetype(0) << false;
    // Opening a FIFO for reading would wait for a writer for ever.
    QTest::newRow("FIFO") << u"fifo"_s << qsizetype(0) << false;
}

void tst_UpdateInstallation::onlyARegularFileOfAtMostFourMebibytesIsRead()
{
    QFETCH(QString, kind);
    QFETCH(qsizetype, size);
    QFETCH(bool, matches);
    // White space after the root element keeps the document well-formed at any size.
    QByteArray content = installed("2.5.1");
    content += QByteArray(qMax<qsizetype>(0, size - content.size()), ' ');
    const QString file = dir->filePath(u"App/components.xml"_s);
    QVERIFY(QDir().mkpath(dir->filePath(u"App"_s)));
    if (kind == QLatin1String("file"))
        QVERIFY(writeFile(file, content));
    else if (kind == QLatin1String("link"))
        QVERIFY(writeFile(dir->filePath(u"elsewhere.xml"_s), content)
                && QFile::link(dir->filePath(u"elsewhere.xml"_s), file));
    else if (kind == QLatin1String("directory"))
        QVERIFY(writeFile(file + u"/components.xml"_s, content));
    else if (kind == QLatin1String("fifo"))
        QVERIFY(makeFifo(file));

    QCOMPARE(UpdateInstallation::matchesVersion(dir->filePath(u"App"_s), u"2.5.1"_s), matches);
}

QTEST_GUILESS_MAIN(tst_UpdateInstallation)
#include "tst_update_installation.moc"
