#pragma once

#include "update_failure.h"
#include "update_manifest.h"
#include "update_signature.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include <memory>

class QLockFile;

// The private local copy of one verified release that the fetch fills while the client runs, and
// that the helper's maintenance tool then installs from. It knows nothing of the network: it
// takes bytes and decides, against the signed manifest, what may stay.
//
// One per installation, in the kit's per-user directory beside the handoff file:
//
//     mirror-<key>/repository/<path>        every file the manifest lists, once it is whole and
//                                           its SHA-256 matches: what the tool is given
//     mirror-<key>/repository/release.manifest[.minisig]
//                                           the manifest the mirror is of, and its signature, as
//                                           the check verified them: the folder is laid out as
//                                           the publisher's
//     mirror-<key>/partial/<SHA-256>        a file that is still arriving, named by the digest it
//                                           must end with, so that a later fetch resumes it only
//                                           for the same bytes
//     mirror-<key>.lock                     held by the fetch that fills it
//
// It holds every file of the manifest, not just those the tool reads for one installation: which
// of them that is depends on IFW's own choice (the installed components, their dependencies,
// essential and forced ones), and a mirror that lacked one would fail the update once the client
// had closed.
class UpdateMirror
{
public:
    // The mirror of the installation of the client at applicationPath, in `directory` (empty: the
    // kit's per-user directory).
    UpdateMirror(const QString &applicationPath, const QString &directory = QString());
    ~UpdateMirror();

    QString path() const { return root; }
    // The folder the tool installs from, as a file URL, which IFW's --set-temp-repository takes
    // on Windows and Linux alike.
    QString repositoryUrl() const;
    QString repositoryPath() const;

    // Takes the mirror for this process; false while another one holds it (another copy of the
    // client fetching the same release), or when it cannot be made.
    bool lock(QString &error);
    void unlock();

    // Makes the mirror one of `manifest` (whose bytes and signature are kept beside it): files of
    // the repository that the manifest does not list with their digest are removed, and so are
    // partial files it cannot use. Files that are already whole and whose digest still matches
    // stay, across publications of the same files. Needs the lock.
    bool adopt(const UpdateManifest &manifest, const QByteArray &manifestBytes,
               const QByteArray &signatureBytes, QString &error);

    // The manifest the mirror holds, read back and parsed (not verified again); false when there
    // is none.
    bool readManifest(UpdateManifest &manifest) const;

    // True when the file is whole in the repository: its size, and its digest read again.
    bool holds(const UpdateManifestFile &file) const;
    // The bytes of the file that already arrived (a partial file), 0 when none.
    qint64 partialSize(const UpdateManifestFile &file) const;

    // True when every file the mirror's manifest lists is whole.
    bool isComplete() const;

    // Removes the whole mirror (with the lock held, or when nobody holds it); true when it is gone.
    bool remove();

    // Removes the mirror of the installation when its release is installed or no longer the
    // newest one: when `installedVersion` is that release or later, or `newest` is not the
    // mirror's release. Nothing happens while a fetch holds it.
    static void removeWhenDone(const QString &applicationPath, const QString &directory,
                               const QString &installedVersion, const QString &newest);

    // Copies the signed repository folder `from` (a mirror's repository, or a published folder:
    // its release.manifest and signature beside the files) into `to`, which must not exist,
    // believing nothing of it: the signature must verify with one of `keys`, and every listed
    // file must arrive with its size and SHA-256, hashed as it is written, from a plain file (no
    // link). What the helper does, elevated, with a mirror a user's program could have changed.
    // False with the reason (English) otherwise; `to` may then hold a part of the copy.
    static bool copyVerified(const QString &from, const QString &to,
                             const QList<UpdateSignature::PublicKey> &keys, QString &error);

private:
    friend class UpdateMirrorFile;
    QString partialPath(const UpdateManifestFile &file) const;
    QString completePath(const UpdateManifestFile &file) const;

    QString root;
    std::unique_ptr<QLockFile> lockFile;
};

// One file of the manifest as it arrives: written to its partial file in the mirror and hashed on
// the way, refused the moment it grows past its listed size, and moved into the repository only
// once it is whole and its SHA-256 is the listed one.
class UpdateMirrorFile
{
public:
    enum class Result {
        Ok,
        // More bytes than the manifest lists, or other bytes than it pins: the partial file is
        // removed; fetching again may help, a bounded number of times.
        Mismatch,
        // The file system refused (full, read-only, gone): kept as it is.
        StorageError,
    };

    UpdateMirrorFile(const UpdateMirror &mirror, const UpdateManifestFile &file);

    // Opens the partial file to go on from its end (hashing what is there), or empty when
    // `fromStart` (a server that ignores the range sends everything again). The offset the next
    // byte belongs at is then offset().
    Result open(bool fromStart, QString &error);
    qint64 offset() const { return written; }

    Result append(const QByteArray &bytes, QString &error);
    // The file's bytes are all there: checked against the manifest, made durable and moved into
    // the repository.
    Result finish(QString &error);
    // A partial file that cannot be used is removed.
    void discard();

private:
    const UpdateMirror &mirror;
    UpdateManifestFile expected;
    QFile file;
    QCryptographicHash hash {QCryptographicHash::Sha256};
    qint64 written = 0;
};
