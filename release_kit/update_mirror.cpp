#include "update_mirror.h"

#include "atomic_replacement.h"
#include "file_sync.h"
#include "private_directory.h"
#include "update_installation.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>
#include <QUrl>
#include <QVersionNumber>

namespace {

const QString RepositoryFolder = QStringLiteral("repository");
const QString PartialFolder = QStringLiteral("partial");

QByteArray digestOf(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result();
}

QByteArray readSmall(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(limit);
}

} // namespace

UpdateMirror::UpdateMirror(const QString &applicationPath, const QString &directory)
{
    const QString base = directory.isEmpty() ? PrivateDirectory::defaultPath() : directory;
    if (!base.isEmpty())
        root = QDir(base).filePath(QLatin1String("mirror-")
                                   + PrivateDirectory::installationKey(applicationPath));
}

UpdateMirror::~UpdateMirror() = default;

QString UpdateMirror::repositoryPath() const
{
    return QDir(root).filePath(RepositoryFolder);
}

QString UpdateMirror::repositoryUrl() const
{
    return QUrl::fromLocalFile(repositoryPath()).toString();
}

bool UpdateMirror::lock(QString &error)
{
    if (root.isEmpty() || !PrivateDirectory::make(QFileInfo(root).path())) {
        error = QStringLiteral("The kit has no directory for the mirror of the release.");
        return false;
    }
    lockFile = std::make_unique<QLockFile>(root + QLatin1String(".lock"));
    // Only a lock whose process has ended is taken over, however long a fetch lasts.
    lockFile->setStaleLockTime(0);
    if (lockFile->tryLock(0))
        return true;
    error = lockFile->error() == QLockFile::LockFailedError
            ? QStringLiteral("Another copy of the client is fetching this release.")
            : QStringLiteral("The mirror's lock %1 cannot be made.").arg(lockFile->fileName());
    lockFile.reset();
    return false;
}

void UpdateMirror::unlock()
{
    lockFile.reset();
}

QString UpdateMirror::partialPath(const UpdateManifestFile &file) const
{
    return QDir(root).filePath(PartialFolder + QLatin1Char('/')
                               + QString::fromLatin1(file.sha256.toHex()));
}

QString UpdateMirror::completePath(const UpdateManifestFile &file) const
{
    return QDir(repositoryPath()).filePath(file.path);
}

bool UpdateMirror::adopt(const UpdateManifest &manifest, const QByteArray &manifestBytes,
                         const QByteArray &signatureBytes, QString &error)
{
    const QDir mirror(root);
    if (!PrivateDirectory::make(root) || !mirror.mkpath(RepositoryFolder)
        || !mirror.mkpath(PartialFolder)) {
        error = QStringLiteral("The mirror %1 cannot be made.").arg(root);
        return false;
    }
    // Files the manifest does not pin, and partial files of digests it does not list, go.
    QSet<QString> listed;
    QSet<QString> digests;
    for (const UpdateManifestFile &file : manifest.files) {
        listed.insert(completePath(file));
        digests.insert(QString::fromLatin1(file.sha256.toHex()));
    }
    QDirIterator files(repositoryPath(), QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        const QString relative = QDir(repositoryPath()).relativeFilePath(path);
        if (relative == UpdateManifest::FileName || relative == UpdateManifest::SignatureFileName)
            continue;
        const UpdateManifestFile *file = manifest.file(relative);
        if (!listed.contains(path) || !file || file->size != QFileInfo(path).size()
            || digestOf(path) != file->sha256)
            QFile::remove(path);
    }
    const QStringList partial = QDir(mirror.filePath(PartialFolder)).entryList(QDir::Files);
    for (const QString &name : partial) {
        if (!digests.contains(name))
            QFile::remove(mirror.filePath(PartialFolder + QLatin1Char('/') + name));
    }
    const QDir repository(repositoryPath());
    if (!AtomicReplacement::replaceContents(repository.filePath(UpdateManifest::FileName),
                                            manifestBytes)
        || !AtomicReplacement::replaceContents(
                repository.filePath(UpdateManifest::SignatureFileName), signatureBytes)) {
        error = QStringLiteral("The manifest cannot be written into the mirror %1.").arg(root);
        return false;
    }
    return true;
}

bool UpdateMirror::readManifest(UpdateManifest &manifest) const
{
    QString error;
    return !root.isEmpty()
            && UpdateManifest::parse(
                       readSmall(QDir(repositoryPath()).filePath(UpdateManifest::FileName),
                                 UpdateManifest::MaximumSize + 1),
                       manifest, error)
            == UpdateManifest::ParseResult::Parsed;
}

bool UpdateMirror::holds(const UpdateManifestFile &file) const
{
    const QString path = completePath(file);
    return QFileInfo(path).isFile() && QFileInfo(path).size() == file.size
            && digestOf(path) == file.sha256;
}

qint64 UpdateMirror::partialSize(const UpdateManifestFile &file) const
{
    const QFileInfo info(partialPath(file));
    return info.isFile() ? info.size() : 0;
}

bool UpdateMirror::isComplete() const
{
    UpdateManifest manifest;
    if (!readManifest(manifest))
        return false;
    for (const UpdateManifestFile &file : std::as_const(manifest.files)) {
        if (!holds(file))
            return false;
    }
    return true;
}

bool UpdateMirror::remove()
{
    return root.isEmpty() || !QFileInfo::exists(root) || QDir(root).removeRecursively();
}

void UpdateMirror::removeWhenDone(const QString &applicationPath, const QString &directory,
                                  const QString &installedVersion, const QString &newest)
{
    UpdateMirror mirror(applicationPath, directory);
    UpdateManifest manifest;
    QString error;
    if (!QFileInfo::exists(mirror.path()) || !mirror.lock(error))
        return;
    QVersionNumber held;
    QVersionNumber installed;
    const bool readable = mirror.readManifest(manifest)
            && UpdateInstallation::isWholeVersionNumber(manifest.version, held);
    const bool done = !readable
            || (UpdateInstallation::isWholeVersionNumber(installedVersion, installed)
                && QVersionNumber::compare(held, installed) <= 0)
            || manifest.version != newest;
    if (done)
        mirror.remove();
}

bool UpdateMirror::copyVerified(const QString &from, const QString &to,
                                const QList<UpdateSignature::PublicKey> &keys, QString &error)
{
    const QDir source(from);
    const QByteArray manifestBytes
            = readSmall(source.filePath(UpdateManifest::FileName), UpdateManifest::MaximumSize + 1);
    const QByteArray signature
            = readSmall(source.filePath(UpdateManifest::SignatureFileName), 65536);
    const UpdateSignature::Verification verification
            = UpdateSignature::verify(manifestBytes, signature, keys);
    if (verification.result != UpdateSignature::Result::Verified) {
        error = QStringLiteral("the repository %1 is not signed by a key of the installation: %2")
                        .arg(from, verification.error);
        return false;
    }
    UpdateManifest manifest;
    if (UpdateManifest::parse(manifestBytes, manifest, error)
        != UpdateManifest::ParseResult::Parsed) {
        error = QStringLiteral("the repository's manifest is refused: %1").arg(error);
        return false;
    }
    const QDir target(to);
    if (QFileInfo::exists(to) || !QDir().mkpath(to)) {
        error = QStringLiteral("%1 cannot be made afresh").arg(to);
        return false;
    }
    for (const UpdateManifestFile &entry : std::as_const(manifest.files)) {
        const QString path = source.filePath(entry.path);
        QFile input(path);
        QFile output(target.filePath(entry.path));
        if (QFileInfo(path).isSymLink() || !QFileInfo(path).isFile()
            || !input.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("%1 is not a plain file of the repository").arg(path);
            return false;
        }
        if (!QDir().mkpath(QFileInfo(output.fileName()).path())
            || !output.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            error = QStringLiteral("%1: %2").arg(output.fileName(), output.errorString());
            return false;
        }
        QCryptographicHash hash(QCryptographicHash::Sha256);
        qint64 copied = 0;
        while (!input.atEnd() && copied <= entry.size) {
            const QByteArray bytes = input.read(qMin<qint64>(1048576, entry.size + 1 - copied));
            if (bytes.isEmpty() || output.write(bytes) != bytes.size()) {
                error = QStringLiteral("%1 cannot be copied: %2").arg(path, output.errorString());
                return false;
            }
            hash.addData(bytes);
            copied += bytes.size();
        }
        if (copied != entry.size || hash.result() != entry.sha256) {
            error = QStringLiteral("%1 does not match the signed manifest").arg(path);
            return false;
        }
    }
    QFile manifestCopy(target.filePath(UpdateManifest::FileName));
    QFile signatureCopy(target.filePath(UpdateManifest::SignatureFileName));
    if (!manifestCopy.open(QIODevice::WriteOnly)
        || manifestCopy.write(manifestBytes) != manifestBytes.size()
        || !signatureCopy.open(QIODevice::WriteOnly)
        || signatureCopy.write(signature) != signature.size()) {
        error = QStringLiteral("the manifest cannot be copied into %1").arg(to);
        return false;
    }
    return true;
}

UpdateMirrorFile::UpdateMirrorFile(const UpdateMirror &mirror, const UpdateManifestFile &file)
    : mirror(mirror), expected(file)
{ }

UpdateMirrorFile::Result UpdateMirrorFile::open(bool fromStart, QString &error)
{
    file.close();
    hash.reset();
    written = 0;
    file.setFileName(mirror.partialPath(expected));
    // Unbuffered: a full disk shows at the write that meets it, with the system's reason.
    QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
    if (fromStart)
        mode |= QIODevice::Truncate;
    if (!file.open(mode)) {
        error = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
        return Result::StorageError;
    }
    if (file.size() > expected.size) {
        discard();
        return open(true, error);
    }
    // What arrived before counts towards the digest, read once more.
    if (!hash.addData(&file)) {
        error = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
        return Result::StorageError;
    }
    written = file.size();
    return Result::Ok;
}

UpdateMirrorFile::Result UpdateMirrorFile::append(const QByteArray &bytes, QString &error)
{
    if (written + bytes.size() > expected.size) {
        error = QStringLiteral("%1 holds more bytes than the %2 the manifest lists")
                        .arg(expected.path)
                        .arg(expected.size);
        discard();
        return Result::Mismatch;
    }
    if (file.write(bytes) != bytes.size()) {
        error = QStringLiteral("%1 cannot be written: %2").arg(file.fileName(), file.errorString());
        return Result::StorageError;
    }
    hash.addData(bytes);
    written += bytes.size();
    return Result::Ok;
}

UpdateMirrorFile::Result UpdateMirrorFile::finish(QString &error)
{
    if (written != expected.size || hash.result() != expected.sha256) {
        error = QStringLiteral("%1 does not match the signed manifest (%2 of %3 bytes, SHA-256 %4)")
                        .arg(expected.path)
                        .arg(written)
                        .arg(expected.size)
                        .arg(QString::fromLatin1(hash.result().toHex()));
        discard();
        return Result::Mismatch;
    }
    const QString target = mirror.completePath(expected);
    if (!file.flush() || !QDir().mkpath(QFileInfo(target).path())) {
        error = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
        return Result::StorageError;
    }
    file.close();
    // Durable before it is named: a power cut must not leave a whole-looking file of other bytes.
    if (!FileSync::flush(file.fileName()) || (QFileInfo::exists(target) && !QFile::remove(target))
        || !QFile::rename(file.fileName(), target)) {
        error = QStringLiteral("%1 cannot be moved into the mirror").arg(target);
        return Result::StorageError;
    }
    return Result::Ok;
}

void UpdateMirrorFile::discard()
{
    file.close();
    QFile::remove(file.fileName());
    hash.reset();
    written = 0;
}
