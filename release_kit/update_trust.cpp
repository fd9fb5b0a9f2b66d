#include "update_trust.h"

#include "atomic_replacement.h"
#include "private_directory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

namespace {

const QByteArray SequencePrefix = QByteArrayLiteral("sequence ");
constexpr int StateLockTimeout = 5000;

QString expiryText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

UpdateTrust::Verdict refusal(UpdateFailure failure, const QString &error)
{
    UpdateTrust::Verdict verdict;
    verdict.failure = failure;
    verdict.error = error;
    return verdict;
}

} // namespace

UpdateTrust::UpdateTrust(QList<UpdateSignature::PublicKey> trustedKeys, QString statePath)
    : trustedKeys(std::move(trustedKeys)), stateFilePath(std::move(statePath))
{ }

UpdateTrust::Verdict UpdateTrust::evaluate(const QByteArray &manifest, const QByteArray &signature,
                                           const QDateTime &now) const
{
    const UpdateSignature::Verification verification
            = UpdateSignature::verify(manifest, signature, trustedKeys);
    if (verification.result != UpdateSignature::Result::Verified)
        return refusal(UpdateFailure::Untrusted,
                       QStringLiteral("The release manifest is not signed by a trusted key: %1.")
                               .arg(verification.error));

    Verdict verdict;
    QString error;
    switch (UpdateManifest::parse(manifest, verdict.manifest, error)) {
    case UpdateManifest::ParseResult::Parsed:
        break;
    case UpdateManifest::ParseResult::Malformed:
        return refusal(UpdateFailure::Malformed,
                       QStringLiteral("The signed release manifest is malformed: %1.").arg(error));
    case UpdateManifest::ParseResult::UnsupportedFormat:
        return refusal(UpdateFailure::UnsupportedFormat,
                       QStringLiteral("The signed release manifest cannot be read: %1; a newer "
                                      "client is needed.")
                               .arg(error));
    }
    if (now >= verdict.manifest.expires)
        return refusal(UpdateFailure::Expired,
                       QStringLiteral("The release manifest (sequence %1) expired at %2: the "
                                      "repository is no longer kept fresh, or an old manifest is "
                                      "being replayed.")
                               .arg(verdict.manifest.sequence)
                               .arg(expiryText(verdict.manifest.expires)));
    const qint64 highest = highestSequence();
    if (verdict.manifest.sequence < highest)
        return refusal(UpdateFailure::Rollback,
                       QStringLiteral("The release manifest has sequence %1, lower than %2, which "
                                      "this installation has already verified: an older "
                                      "publication is being replayed.")
                               .arg(verdict.manifest.sequence)
                               .arg(highest));
    return verdict;
}

bool UpdateTrust::remember(const UpdateManifest &manifest, QString &error) const
{
    if (!PrivateDirectory::make(QFileInfo(stateFilePath).path())) {
        error = QStringLiteral("The update check cannot make its directory %1.")
                        .arg(QFileInfo(stateFilePath).path());
        return false;
    }
    QLockFile lock(stateFilePath + QLatin1String(".lock"));
    if (!lock.tryLock(StateLockTimeout)) {
        error = QStringLiteral("The update check cannot lock its record %1.").arg(stateFilePath);
        return false;
    }
    if (manifest.sequence <= highestSequence())
        return true;
    if (!AtomicReplacement::replaceContents(
                stateFilePath, SequencePrefix + QByteArray::number(manifest.sequence) + '\n')) {
        error = QStringLiteral("The update check cannot write its record %1.").arg(stateFilePath);
        return false;
    }
    return true;
}

qint64 UpdateTrust::highestSequence() const
{
    QFile file(stateFilePath);
    if (!QFileInfo(stateFilePath).isFile() || !file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray content = file.read(64);
    if (!content.startsWith(SequencePrefix) || !content.endsWith('\n'))
        return 0;
    bool ok = false;
    const qint64 sequence = content.mid(SequencePrefix.size()).chopped(1).toLongLong(&ok);
    return ok && sequence > 0 ? sequence : 0;
}

QString UpdateTrust::statePath(const QString &directory, const QString &applicationPath)
{
    return QDir(directory).filePath(QLatin1String("release-")
                                    + PrivateDirectory::installationKey(applicationPath));
}
