#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Ed25519 signatures in minisign's format, verified with libsodium: what `minisign -S` writes,
// checked as `minisign -V` checks it, against public keys as `minisign -G` writes them. Nothing
// here signs or holds a secret key.
//
// A signature file has four lines: an untrusted comment, the signature (its algorithm, the
// signer's key id and 64 bytes), a trusted comment and the global signature over the signature
// and the trusted comment. The algorithm "ED" signs the BLAKE2b-512 hash of the message
// (minisign's default), "Ed" the message itself (its legacy format); both are accepted. Both
// signatures must verify: the trusted comment cannot be changed either.
namespace UpdateSignature {

struct PublicKey
{
    QByteArray keyId; // 8 bytes
    QByteArray key; // 32 bytes
};

// Reads a public key in minisign's text form: the whole minisign.pub file (an untrusted comment,
// then the key's line), or the key's line alone (as `minisign -P` takes it); surrounding white
// space is ignored.
bool parsePublicKey(const QString &text, PublicKey &key, QString &error);

// Reads one or more public keys: minisign.pub files one after the other (or their key lines
// alone), as an installation ships the publisher's keys. False when a line is no key, or there
// is none.
bool parsePublicKeys(const QString &text, QList<PublicKey> &keys, QString &error);

// The key id as minisign prints it ("C099A413CD313DCD").
QString keyIdText(const QByteArray &keyId);

enum class Result {
    Verified,
    // Not a signature file: a line missing, too long or badly encoded.
    Malformed,
    // Signed by a key that is not among the trusted ones.
    UnknownKey,
    // The signature does not verify: the message or the signature was changed.
    BadSignature,
    // The signature verifies, the global one does not: the trusted comment was changed.
    BadTrustedComment,
};

struct Verification
{
    Result result = Result::Malformed;
    // What went wrong, in English; empty when verified.
    QString error;
    QByteArray keyId;
    QString trustedComment;
};

// Verifies `signatureFile` (the bytes of a .minisig file) over `message` against the trusted
// key whose id the signature names.
Verification verify(const QByteArray &message, const QByteArray &signatureFile,
                    const QList<PublicKey> &trustedKeys);

} // namespace UpdateSignature
