#pragma once

#include "update_check.h"
#include "update_fetch.h"

#include <QString>
#include <QStringList>

class ReleaseSigner;
class TestDirectory;

// Release 2.0.0 of a small repository in `folder`, published by `signer` as a publisher does
// (updater_manifest with --release-version 2.0.0 --sequence 10 and `arguments`, then minisign
// -S): Updates.xml, an archive of archiveSize bytes that are not all alike, and its .sha1.
bool publishRelease(const ReleaseSigner &signer, const QString &folder,
                    const QStringList &arguments, QString &error, qint64 archiveSize = 70000);

// The archive's path in such a repository, and its bytes.
QString releaseArchive();
QByteArray releaseArchiveBytes(qint64 size);

// The check's settings for the installation below `directory` (installation/Corvane and its
// components.xml), trusting signer's key, with the check's record in directory/state and a time
// limit of 5 s.
UpdateCheckSettings checkSettingsFor(const TestDirectory &directory, const ReleaseSigner &signer,
                                     const QString &url);

// Runs a check, or a fetch, to its end in the test's event loop (at most timeoutMs).
UpdateCheckResult runCheck(const UpdateCheckSettings &settings);
UpdateFetchResult runFetch(UpdateFetch &fetch, int timeoutMs = 60000);
