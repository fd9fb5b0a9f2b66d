#include "update_check.h"

#include "private_directory.h"
#include "update_download.h"
#include "update_installation.h"
#include "update_mirror.h"
#include "update_network.h"
#include "update_rights.h"
#include "update_trust.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QTimer>
#include <QVersionNumber>

UpdateCheck::UpdateCheck(UpdateCheckSettings settings, QObject *parent)
    : QObject(parent), settings(std::move(settings))
{ }

UpdateCheck::~UpdateCheck() = default;

void UpdateCheck::start()
{
    if (manager)
        return;
    manager = std::make_unique<QNetworkAccessManager>();
    UpdateNetwork::configure(*manager);

    QVersionNumber installed;
    if (!UpdateInstallation::installedVersion(settings.installationDirectory, installed)) {
        QTimer::singleShot(0, this, [this] {
            finish(UpdateFailure::Installation,
                   QStringLiteral("The installed version cannot be read from %1/components.xml.")
                           .arg(settings.installationDirectory));
        });
        return;
    }
    checkResult.installedVersion = installed.toString();

    manifestDownload = new UpdateDownload(*manager, this);
    signatureDownload = new UpdateDownload(*manager, this);
    for (UpdateDownload *download : {manifestDownload, signatureDownload})
        connect(download, &UpdateDownload::finished, this, &UpdateCheck::onDownloaded);
    manifestDownload->start(
            UpdateNetwork::fileUrl(settings.repositoryUrl, UpdateManifest::FileName),
            ManifestSizeLimit, settings.timeLimitMs, settings.caCertificates);
    signatureDownload->start(
            UpdateNetwork::fileUrl(settings.repositoryUrl, UpdateManifest::SignatureFileName),
            SignatureSizeLimit, settings.timeLimitMs, settings.caCertificates);
}

void UpdateCheck::abort()
{
    if (checkResult.outcome != UpdateCheckResult::Outcome::Pending)
        return;
    for (UpdateDownload *download : {manifestDownload, signatureDownload}) {
        if (download)
            download->abort();
    }
    checkResult.outcome = UpdateCheckResult::Outcome::Failed;
    checkResult.failure = UpdateFailure::Network;
    checkResult.errorString = QStringLiteral("The update check was cancelled.");
}

void UpdateCheck::onDownloaded()
{
    if (checkResult.outcome != UpdateCheckResult::Outcome::Pending)
        return;
    // A missing signature beside a manifest that is there means "not signed"; any other failure
    // ends the check at once, and the other transfer is of no use then.
    const bool signatureMissing = signatureDownload->httpStatus() == 404;
    UpdateDownload *failed = nullptr;
    if (manifestDownload->isFinished() && !manifestDownload->succeeded())
        failed = manifestDownload;
    else if (signatureDownload->isFinished() && !signatureDownload->succeeded()
             && !signatureMissing)
        failed = signatureDownload;
    if (failed) {
        const QString error = failed->errorString();
        manifestDownload->abort();
        signatureDownload->abort();
        finish(UpdateFailure::Network,
               QStringLiteral("The release manifest cannot be fetched: %1.").arg(error));
        return;
    }
    if (!manifestDownload->isFinished() || !signatureDownload->isFinished())
        return;
    if (signatureMissing) {
        finish(UpdateFailure::Untrusted,
               QStringLiteral("The release manifest is not signed: %1.")
                       .arg(signatureDownload->errorString()));
        return;
    }
    judge();
}

void UpdateCheck::judge()
{
    QList<UpdateSignature::PublicKey> keys;
    for (const QString &text : std::as_const(settings.trustedKeys)) {
        UpdateSignature::PublicKey key;
        QString error;
        if (!UpdateSignature::parsePublicKey(text, key, error)) {
            finish(UpdateFailure::Untrusted,
                   QStringLiteral("A trusted key of the client cannot be read: %1.").arg(error));
            return;
        }
        keys.append(key);
    }
    const QString stateDirectory = settings.stateDirectory.isEmpty()
            ? PrivateDirectory::defaultPath()
            : settings.stateDirectory;
    if (stateDirectory.isEmpty()) {
        finish(UpdateFailure::Storage,
               QStringLiteral("The system names no directory for the update check's record."));
        return;
    }
    const UpdateTrust trust(keys, UpdateTrust::statePath(stateDirectory, settings.applicationPath));
    UpdateTrust::Verdict verdict = trust.evaluate(
            manifestDownload->data(), signatureDownload->data(), QDateTime::currentDateTimeUtc());
    if (verdict.failure != UpdateFailure::None) {
        finish(verdict.failure, verdict.error);
        return;
    }
    QString error;
    if (!trust.remember(verdict.manifest, error)) {
        finish(UpdateFailure::Storage, error);
        return;
    }

    QVersionNumber release;
    QVersionNumber installed;
    UpdateInstallation::isWholeVersionNumber(verdict.manifest.version, release);
    UpdateInstallation::isWholeVersionNumber(checkResult.installedVersion, installed);
    const int order = QVersionNumber::compare(release, installed);
    if (order < 0) {
        finish(UpdateFailure::Rollback,
               QStringLiteral("The repository's signed release %1 is older than the installed "
                              "version %2.")
                       .arg(verdict.manifest.version, checkResult.installedVersion));
        return;
    }
    checkResult.outcome = order > 0 ? UpdateCheckResult::Outcome::NewerRelease
                                    : UpdateCheckResult::Outcome::UpToDate;
    switch (UpdateRights::access(settings.installationDirectory)) {
    case UpdateRights::Access::Direct:
        checkResult.access = UpdateCheckResult::Access::Direct;
        break;
    case UpdateRights::Access::Elevated:
        checkResult.access = UpdateCheckResult::Access::Elevated;
        break;
    case UpdateRights::Access::Denied:
        checkResult.access = UpdateCheckResult::Access::Denied;
        break;
    }
    checkResult.version = verdict.manifest.version;
    checkResult.downloadSize = verdict.manifest.totalSize();
    checkResult.manifestBytes = manifestDownload->data();
    checkResult.signatureBytes = signatureDownload->data();
    UpdateMirror::removeWhenDone(settings.applicationPath, stateDirectory,
                                 checkResult.installedVersion, verdict.manifest.version);
    checkResult.manifest = std::move(verdict.manifest);
    emit finished();
}

void UpdateCheck::finish(UpdateFailure failure, const QString &error)
{
    if (checkResult.outcome != UpdateCheckResult::Outcome::Pending)
        return;
    checkResult.outcome = UpdateCheckResult::Outcome::Failed;
    checkResult.failure = failure;
    checkResult.errorString = error;
    emit finished();
}
