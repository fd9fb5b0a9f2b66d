#pragma once

#include "update_failure.h"
#include "update_manifest.h"

#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

#include <memory>

class QNetworkAccessManager;
class UpdateDownload;

// What a client tells the check.
struct UpdateCheckSettings
{
    // The repository, as the helper's --repository takes it: an https, http or file URL, or a
    // local folder. Its release.manifest and release.manifest.minisig are read.
    QString repositoryUrl;
    // The client's own executable: it names the installation whose newest verified publication
    // is remembered.
    QString applicationPath;
    // The installation directory, whose components.xml says which version is installed.
    QString installationDirectory;
    // The publisher's public keys in minisign's text form (see UpdateSignature::parsePublicKey),
    // compiled into the client; a manifest must be signed by one of them. More than one while a
    // key is being replaced.
    QStringList trustedKeys;
    // For the whole check, both files together.
    int timeLimitMs = 30000;
    // Where the check remembers what it has verified; empty: the kit's per-user directory (the
    // handoff files' directory).
    QString stateDirectory;
    // Trusted for HTTPS beside the system's certificates (a private certificate authority).
    QList<QSslCertificate> caCertificates;
};

struct UpdateCheckResult
{
    enum class Outcome {
        Pending, // the check has not finished
        NewerRelease, // the repository offers a newer version, verified
        UpToDate, // the repository's verified version is the installed one
        Failed, // nothing verified was learnt: never read this as "up to date"
    };

    Outcome outcome = Outcome::Pending;
    // Failed: why, and a message in English for the log or the user.
    UpdateFailure failure = UpdateFailure::None;
    QString errorString;
    // The installed version, once read.
    QString installedVersion;
    // NewerRelease and UpToDate: the release's version and the bytes its repository holds.
    QString version;
    qint64 downloadSize = 0;
    // NewerRelease and UpToDate: the verified manifest, which pins every file of the release, and
    // its bytes and signature as they came (the fetch keeps them in the mirror).
    UpdateManifest manifest;
    QByteArray manifestBytes;
    QByteArray signatureBytes;

    // How the helper, started by this user, will be able to change the installation, decided as
    // it decides before it asks the client to exit.
    enum class Access {
        Direct, // the user may write the installation folder, or has administrator's rights
        Elevated, // Windows: the helper asks once for administrator's rights
        // no way for this user: an installation for all users, where the system cannot ask
        // (Linux, or UAC switched off); the client should say so once rather than offer the
        // update at every check, since the helper would refuse it
        Denied,
    };
    Access access = Access::Direct;
};

// Asks a repository whether there is a newer release, and believes only what the publisher
// signed: it fetches the manifest and its signature (each with a size cap, together within the
// time limit), verifies them (UpdateTrust), reads the installed version from components.xml as
// the helper's version check does, and answers. A refused manifest writes nothing but the
// check's own record. A verified answer also removes the installation's mirror (UpdateFetch) once
// its release is installed, or is no longer the newest. Asynchronous: start(), then finished()
// once, on the thread it lives on.
class UpdateCheck : public QObject
{
    Q_OBJECT

public:
    // Caps on what is fetched; a manifest of tens of thousands of files fits in the first, and a
    // signature with minisign's longest trusted comment in the second.
    static constexpr qint64 ManifestSizeLimit = UpdateManifest::MaximumSize;
    static constexpr qint64 SignatureSizeLimit = 16384;

    explicit UpdateCheck(UpdateCheckSettings settings, QObject *parent = nullptr);
    ~UpdateCheck() override;

    // Starts the check; call once. finished() always comes later than this call.
    void start();
    // Ends a check that is running as failed (Network, "cancelled"); finished() is not emitted.
    void abort();

    const UpdateCheckResult &result() const { return checkResult; }

signals:
    void finished();

private:
    void onDownloaded();
    void judge();
    void finish(UpdateFailure failure, const QString &error);

    UpdateCheckSettings settings;
    UpdateCheckResult checkResult;
    std::unique_ptr<QNetworkAccessManager> manager;
    UpdateDownload *manifestDownload = nullptr;
    UpdateDownload *signatureDownload = nullptr;
};
