#include "update_rights.h"

#include "test_files.h"

#include <QDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

// The maintenance tool's own test of an installation folder, as the helper and the kit make it.
// Who is refused what, for which user, is the black-box test's part (a helper run as another user).
class tst_UpdateRights : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void onlyAFolderAFileCanBeMadeInIsWritable_data();
    void onlyAFolderAFileCanBeMadeInIsWritable();

private:
    std::unique_ptr<TestDirectory> dir;
    TestMounts mounts;
};

void tst_UpdateRights::init()
{
    dir = std::make_unique<TestDirectory>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
}

void tst_UpdateRights::cleanup()
{
    mounts.releaseAll();
    dir.reset();
}

void tst_UpdateRights::onlyAFolderAFileCanBeMadeInIsWritable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("writable");
    QTest::newRow("a folder") << u"folder"_s << true;
    // Root writes into any folder; only a read-only mount refuses it, as Program Files refuses a
    // user on Windows.
    QTest::newRow("a folder under a read-only mount") << u"read-only"_s << false;
    QTest::newRow("a file where the folder should be") << u"file"_s << false;
    QTest::newRow("no folder") << u"missing"_s << false;
}

void tst_UpdateRights::onlyAFolderAFileCanBeMadeInIsWritable()
{
    QFETCH(QString, kind);
    QFETCH(bool, writable);
    const QString installation = dir->filePath(u"Corvane"_s);
    if (kind == u"file")
        QVERIFY(writeFile(installation, "not a folder"));
    else if (kind != u"missing")
        QVERIFY(writeFile(installation + u"/Corvane"_s, "client"));
    if (kind == u"read-only")
        QVERIFY2(mounts.bindReadOnly(installation, installation), "a mount needs root");

    QCOMPARE(UpdateRights::directoryWritable(installation), writable);
    // The test leaves nothing behind in the installation.
    if (kind == u"folder")
        QCOMPARE(filesBelow(installation), QStringList {u"Corvane"_s});
}

QTEST_GUILESS_MAIN(tst_UpdateRights)
#include "tst_update_rights.moc"
