#include "update_signature.h"

#include <QtEndian>

#include <sodium.h>

namespace {

const QByteArray KeyAlgorithm = QByteArrayLiteral("Ed");
const QByteArray HashedAlgorithm = QByteArrayLiteral("ED");
const QByteArray UntrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray TrustedPrefix = QByteArrayLiteral("trusted comment: ");
constexpr qsizetype KeyIdSize = 8;
// The longest lines minisign itself reads whole (its line buffers hold one byte more, and the
// line feed); a longer one it reads in pieces, and rejects.
constexpr qsizetype UntrustedLineLimit = 1022;
constexpr qsizetype TrustedLineLimit = 8190;

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// Strict standard base64, padding included, into exactly `size` bytes.
bool decodeBase64(const QByteArray &text, qsizetype size, QByteArray &bytes)
{
    bytes.resize(size);
    size_t length = 0;
    const bool decoded
            = sodium_base642bin(reinterpret_cast<unsigned char *>(bytes.data()), size_t(size),
                                text.constData(), size_t(text.size()), nullptr, &length, nullptr,
                                sodium_base64_VARIANT_ORIGINAL)
                    == 0
            && length == size_t(size);
    if (!decoded)
        bytes.clear();
    return decoded;
}

bool verifyDetached(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    return crypto_sign_verify_detached(
                   reinterpret_cast<const unsigned char *>(signature.constData()),
                   reinterpret_cast<const unsigned char *>(message.constData()),
                   quint64(message.size()),
                   reinterpret_cast<const unsigned char *>(key.constData()))
            == 0;
}

QByteArray blake2b512(const QByteArray &message)
{
    QByteArray hash(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hash.size()),
                       reinterpret_cast<const unsigned char *>(message.constData()),
                       quint64(message.size()), nullptr, 0);
    return hash;
}

// The file's lines without their line ends; a CR before the LF is taken as part of the line end,
// as minisign takes it. An LF after the last line is optional.
QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() > 1 && lines.constLast().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

UpdateSignature::Verification failure(UpdateSignature::Result result, const QString &error,
                                      const QByteArray &keyId = QByteArray())
{
    UpdateSignature::Verification verification;
    verification.result = result;
    verification.error = error;
    verification.keyId = keyId;
    return verification;
}

} // namespace

namespace UpdateSignature {

bool parsePublicKey(const QString &text, PublicKey &key, QString &error)
{
    const QList<QByteArray> lines = linesOf(text.trimmed().toUtf8());
    if (lines.size() > 2 || (lines.size() == 2 && !lines.first().startsWith(UntrustedPrefix))) {
        error = QStringLiteral("a minisign public key is a comment line and a key line");
        return false;
    }
    QByteArray bytes;
    if (!decodeBase64(lines.constLast().trimmed(), 2 + KeyIdSize + crypto_sign_PUBLICKEYBYTES,
                      bytes)
        || !bytes.startsWith(KeyAlgorithm)) {
        error = QStringLiteral("not a minisign public key");
        return false;
    }
    key.keyId = bytes.mid(2, KeyIdSize);
    key.key = bytes.mid(2 + KeyIdSize);
    return true;
}

bool parsePublicKeys(const QString &text, QList<PublicKey> &keys, QString &error)
{
    keys.clear();
    for (const QByteArray &line : linesOf(text.toUtf8())) {
        if (line.trimmed().isEmpty() || line.startsWith(UntrustedPrefix))
            continue;
        PublicKey key;
        if (!parsePublicKey(QString::fromUtf8(line), key, error))
            return false;
        keys.append(key);
    }
    if (keys.isEmpty())
        error = QStringLiteral("no minisign public key");
    return !keys.isEmpty();
}

QString keyIdText(const QByteArray &keyId)
{
    if (keyId.size() != KeyIdSize)
        return QString();
    return QString::number(qFromLittleEndian<quint64>(keyId.constData()), 16).toUpper();
}

Verification verify(const QByteArray &message, const QByteArray &signatureFile,
                    const QList<PublicKey> &trustedKeys)
{
    if (!sodiumReady())
        return failure(Result::BadSignature, QStringLiteral("libsodium cannot be initialised"));

    const QList<QByteArray> lines = linesOf(signatureFile);
    if (signatureFile.contains('\0') || lines.size() != 4
        || !lines.at(0).startsWith(UntrustedPrefix) || lines.at(0).size() > UntrustedLineLimit
        || !lines.at(2).startsWith(TrustedPrefix) || lines.at(2).size() > TrustedLineLimit)
        return failure(Result::Malformed, QStringLiteral("not a minisign signature file"));

    QByteArray signatureRecord;
    QByteArray globalSignature;
    if (!decodeBase64(lines.at(1), 2 + KeyIdSize + crypto_sign_BYTES, signatureRecord)
        || !decodeBase64(lines.at(3), crypto_sign_BYTES, globalSignature))
        return failure(Result::Malformed,
                       QStringLiteral("a signature line is not base64 of its size"));
    const QByteArray algorithm = signatureRecord.left(2);
    if (algorithm != KeyAlgorithm && algorithm != HashedAlgorithm)
        return failure(Result::Malformed, QStringLiteral("an unknown signature algorithm"));
    const QByteArray keyId = signatureRecord.mid(2, KeyIdSize);
    const QByteArray signature = signatureRecord.mid(2 + KeyIdSize);

    const PublicKey *signer = nullptr;
    for (const PublicKey &key : trustedKeys) {
        if (key.keyId == keyId)
            signer = &key;
    }
    if (!signer)
        return failure(
                Result::UnknownKey,
                QStringLiteral("signed by key %1, which is not trusted").arg(keyIdText(keyId)),
                keyId);
    const QByteArray signedBytes = algorithm == HashedAlgorithm ? blake2b512(message) : message;
    if (!verifyDetached(signature, signedBytes, signer->key))
        return failure(Result::BadSignature,
                       QStringLiteral("the signature by key %1 does not verify: the file or the "
                                      "signature was changed")
                               .arg(keyIdText(keyId)),
                       keyId);
    const QByteArray trustedComment = lines.at(2).mid(TrustedPrefix.size());
    if (!verifyDetached(globalSignature, signature + trustedComment, signer->key))
        return failure(Result::BadTrustedComment,
                       QStringLiteral("the trusted comment of the signature by key %1 does not "
                                      "verify: it was changed")
                               .arg(keyIdText(keyId)),
                       keyId);

    Verification verification;
    verification.result = Result::Verified;
    verification.keyId = keyId;
    verification.trustedComment = QString::fromUtf8(trustedComment);
    return verification;
}

} // namespace UpdateSignature
