#pragma once

#include "update_failure.h"
#include "update_manifest.h"
#include "update_signature.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// Decides whether a release manifest is genuine and current, from bytes alone: signed by a
// trusted key (minisign's signature and its global signature), in a format this kit reads, not
// past its expiry, and not older than the newest publication this installation has verified.
// It knows nothing of where the bytes came from; what it remembers between checks is one small
// file per installation, the highest sequence number verified.
class UpdateTrust
{
public:
    struct Verdict
    {
        UpdateFailure failure = UpdateFailure::None;
        // What was refused and why, in English; empty when trusted.
        QString error;
        // The manifest as read; filled only when trusted.
        UpdateManifest manifest;
    };

    // `statePath`: the file that holds the highest sequence verified (see statePath()).
    UpdateTrust(QList<UpdateSignature::PublicKey> trustedKeys, QString statePath);

    // The signature is checked first, and nothing of the manifest is read before it verifies.
    Verdict evaluate(const QByteArray &manifest, const QByteArray &signature,
                     const QDateTime &now) const;

    // Remembers the manifest's sequence as the highest verified, when it is higher than the one
    // remembered: the file is replaced atomically, under a lock, so that two clients checking at
    // once leave the higher of their numbers. False, with the reason, when it cannot be written.
    bool remember(const UpdateManifest &manifest, QString &error) const;

    // The highest sequence verified so far, 0 when there is none. A damaged file counts as
    // none: only the user's own programs can write there, and a check that then failed for ever
    // would leave the installation without updates.
    qint64 highestSequence() const;

    // The state file of the installation of the client at applicationPath, in `directory`.
    static QString statePath(const QString &directory, const QString &applicationPath);

private:
    QList<UpdateSignature::PublicKey> trustedKeys;
    QString stateFilePath;
};
