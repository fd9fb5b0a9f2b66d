#include "release_fixture.h"

#include "release_signer.h"
#include "test_files.h"

#include <QSignalSpy>

using namespace Qt::StringLiterals;

QString releaseArchive()
{
    return u"com.norvatek.lumeral/2.0.0content.7z"_s;
}

QByteArray releaseArchiveBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 4093) & 0xff);
    return bytes;
}

bool publishRelease(const ReleaseSigner &signer, const QString &folder,
                    const QStringList &arguments, QString &error, qint64 archiveSize)
{
    if (!writeFile(folder + u"/Updates.xml"_s, "<Updates/>\n")
        || !writeFile(folder + u'/' + releaseArchive(), releaseArchiveBytes(archiveSize))
        || !writeFile(folder + u'/' + releaseArchive() + u".sha1"_s, "sha1\n")) {
        error = u"cannot write "_s + folder;
        return false;
    }
    const QStringList defaults = {u"--release-version"_s, u"2.0.0"_s, u"--sequence"_s, u"10"_s};
    return signer.publish(folder, defaults + arguments, error);
}

UpdateCheckSettings checkSettingsFor(const TestDirectory &directory, const ReleaseSigner &signer,
                                     const QString &url)
{
    UpdateCheckSettings settings;
    settings.repositoryUrl = url;
    settings.applicationPath = directory.filePath(u"installation/Corvane"_s);
    settings.installationDirectory = directory.filePath(u"installation"_s);
    settings.trustedKeys = {signer.publicKey()};
    settings.stateDirectory = directory.filePath(u"state"_s);
    settings.timeLimitMs = 5000;
    return settings;
}

UpdateCheckResult runCheck(const UpdateCheckSettings &settings)
{
    UpdateCheck check(settings);
    QSignalSpy finished(&check, &UpdateCheck::finished);
    check.start();
    if (!finished.wait(20000))
        qWarning("the check did not finish within 20 s");
    return check.result();
}

UpdateFetchResult runFetch(UpdateFetch &fetch, int timeoutMs)
{
    QSignalSpy finished(&fetch, &UpdateFetch::finished);
    fetch.start();
    if (!finished.wait(timeoutMs))
        qWarning("the fetch did not finish within %d ms", timeoutMs);
    return fetch.result();
}
