// The publisher's side of a signed release: after repogen has made a repository folder, this
// writes the folder's release manifest for minisign to sign, and checks a signed folder before it
// is uploaded. It never signs and never reads a secret key.

#include "update_manifest.h"
#include "update_signature.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QXmlStreamReader>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

constexpr int DefaultValidityDays = 30;
const QString PackageName = QStringLiteral("com.norvatek.lumeral");

void print(FILE *stream, const QString &text)
{
    fputs(qPrintable(text + QLatin1Char('\n')), stream);
}

int fail(const QString &text)
{
    print(stderr, QStringLiteral("updater_manifest: ") + text);
    return Failure;
}

// The client's version in repogen's Updates.xml.
bool repositoryVersion(const QString &repository, QString &version, QString &error)
{
    QFile file(QDir(repository).filePath(QStringLiteral("Updates.xml")));
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2; name the release with --release-version")
                        .arg(file.fileName(), file.errorString());
        return false;
    }
    QXmlStreamReader reader(&file);
    while (reader.readNextStartElement()) {
        if (reader.name() != QLatin1String("PackageUpdate")) {
            if (reader.name() != QLatin1String("Updates"))
                reader.skipCurrentElement();
            continue;
        }
        QString name;
        QString text;
        while (reader.readNextStartElement()) {
            if (reader.name() == QLatin1String("Name"))
                name = reader.readElementText();
            else if (reader.name() == QLatin1String("Version"))
                text = reader.readElementText();
            else
                reader.skipCurrentElement();
        }
        if (name == PackageName)
            version = text;
    }
    if (reader.hasError() || version.isEmpty()) {
        error = QStringLiteral("%1 names no version of %2; name the release with --release-version")
                        .arg(file.fileName(), PackageName);
        return false;
    }
    return true;
}

bool isManifestFile(const QString &relativePath)
{
    return relativePath == UpdateManifest::FileName
            || relativePath == UpdateManifest::SignatureFileName;
}

// Every file of the folder but the manifest and its signature, with its size and SHA-256. A link
// or anything else that is not a plain file cannot be described, and fails.
bool listFiles(const QString &repository, QList<UpdateManifestFile> &files, QString &error)
{
    const QDir root(QFileInfo(repository).absoluteFilePath());
    QDirIterator it(root.path(),
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString relative = root.relativeFilePath(info.filePath());
        if (info.isSymLink() || (!info.isFile() && !info.isDir())) {
            error = QStringLiteral("%1 is not a plain file or folder").arg(info.filePath());
            return false;
        }
        if (info.isDir() || isManifestFile(relative))
            continue;
        QFile file(info.filePath());
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
            error = QStringLiteral("%1: %2").arg(info.filePath(), file.errorString());
            return false;
        }
        files.append({relative, file.size(), hash.result()});
    }
    return true;
}

int write(const QString &repository, const QCommandLineParser &parser)
{
    UpdateManifest manifest;
    QString error;
    if (parser.isSet(QStringLiteral("release-version")))
        manifest.version = parser.value(QStringLiteral("release-version"));
    else if (!repositoryVersion(repository, manifest.version, error))
        return fail(error);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    manifest.sequence = now.toSecsSinceEpoch();
    if (parser.isSet(QStringLiteral("sequence"))) {
        bool ok = false;
        manifest.sequence = parser.value(QStringLiteral("sequence")).toLongLong(&ok);
        if (!ok || manifest.sequence < 0)
            return fail(QStringLiteral("--sequence wants a number of 0 or more"));
    }
    if (parser.isSet(QStringLiteral("expires"))) {
        manifest.expires
                = QDateTime::fromString(parser.value(QStringLiteral("expires")), Qt::ISODate);
        if (!manifest.expires.isValid())
            return fail(QStringLiteral("--expires wants a time such as 2027-01-31T00:00:00Z"));
    } else {
        bool ok = true;
        const int days = parser.isSet(QStringLiteral("expires-in-days"))
                ? parser.value(QStringLiteral("expires-in-days")).toInt(&ok)
                : DefaultValidityDays;
        if (!ok || days < 1)
            return fail(QStringLiteral("--expires-in-days wants a number of 1 or more"));
        manifest.expires = now.addDays(days);
    }
    // The manifest names whole seconds.
    manifest.expires = QDateTime::fromSecsSinceEpoch(manifest.expires.toSecsSinceEpoch(), Qt::UTC);

    const QString manifestPath = QDir(repository).filePath(UpdateManifest::FileName);
    QFile previousFile(manifestPath);
    UpdateManifest previous;
    if (previousFile.open(QIODevice::ReadOnly)
        && UpdateManifest::parse(previousFile.read(UpdateManifest::MaximumSize + 1), previous,
                                 error)
                == UpdateManifest::ParseResult::Parsed
        && previous.sequence >= manifest.sequence)
        return fail(QStringLiteral("%1 already has sequence %2: give a larger --sequence, since "
                                   "clients refuse a lower one than they have seen")
                            .arg(manifestPath)
                            .arg(previous.sequence));

    if (!listFiles(repository, manifest.files, error))
        return fail(error);
    // Read back by the clients' own rules, so that a folder they would refuse is never signed.
    const QByteArray bytes = manifest.toBytes();
    UpdateManifest check;
    if (UpdateManifest::parse(bytes, check, error) != UpdateManifest::ParseResult::Parsed)
        return fail(QStringLiteral("clients would refuse this manifest: %1").arg(error));

    // A signature of an earlier manifest would not match this one.
    const QString signaturePath = QDir(repository).filePath(UpdateManifest::SignatureFileName);
    if (QFileInfo::exists(signaturePath) && !QFile::remove(signaturePath))
        return fail(QStringLiteral("cannot remove the old signature %1").arg(signaturePath));
    QSaveFile file(manifestPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return fail(QStringLiteral("%1: %2").arg(manifestPath, file.errorString()));
    print(stdout,
          QStringLiteral("Wrote %1: release %2, sequence %3, expires %4, %5 files, %6 bytes.")
                  .arg(manifestPath, check.version)
                  .arg(check.sequence)
                  .arg(check.expires.toString(Qt::ISODate))
                  .arg(check.files.size())
                  .arg(check.totalSize()));
    print(stdout,
          QStringLiteral("Sign it with: minisign -S -s SECRET_KEY -m %1").arg(manifestPath));
    return Success;
}

QByteArray readAll(const QString &path, qint64 limit, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return QByteArray();
    }
    return file.read(limit);
}

// What a client will find, and a little more: the signature, the format and expiry, and every
// file of the folder as the manifest lists it, with nothing left out or added.
int verify(const QString &repository, const QString &keyPath)
{
    QString error;
    const QString keyText = QString::fromUtf8(readAll(keyPath, 4096, error));
    UpdateSignature::PublicKey key;
    if (!error.isEmpty() || !UpdateSignature::parsePublicKey(keyText, key, error))
        return fail(QStringLiteral("%1: %2").arg(keyPath, error));
    const QDir root(repository);
    const QByteArray bytes = readAll(root.filePath(UpdateManifest::FileName),
                                     UpdateManifest::MaximumSize + 1, error);
    const QByteArray signature
            = readAll(root.filePath(UpdateManifest::SignatureFileName), 65536, error);
    if (!error.isEmpty())
        return fail(error);
    const UpdateSignature::Verification verification
            = UpdateSignature::verify(bytes, signature, {key});
    if (verification.result != UpdateSignature::Result::Verified)
        return fail(QStringLiteral("the signature does not verify: %1").arg(verification.error));
    UpdateManifest manifest;
    if (UpdateManifest::parse(bytes, manifest, error) != UpdateManifest::ParseResult::Parsed)
        return fail(QStringLiteral("the manifest is refused: %1").arg(error));
    if (manifest.expires <= QDateTime::currentDateTimeUtc())
        return fail(QStringLiteral("the manifest expired at %1")
                            .arg(manifest.expires.toString(Qt::ISODate)));
    QList<UpdateManifestFile> files;
    if (!listFiles(repository, files, error))
        return fail(error);
    for (const UpdateManifestFile &file : std::as_const(files)) {
        const UpdateManifestFile *listed = manifest.file(file.path);
        if (!listed)
            return fail(QStringLiteral("%1 is not in the manifest").arg(file.path));
        if (listed->size != file.size || listed->sha256 != file.sha256)
            return fail(QStringLiteral("%1 differs from the manifest").arg(file.path));
    }
    if (files.size() != manifest.files.size())
        return fail(QStringLiteral("the manifest lists files the folder does not hold"));
    print(stdout,
          QStringLiteral("%1: release %2, sequence %3, expires %4, %5 files: verified "
                         "with key %6.")
                  .arg(repository, manifest.version)
                  .arg(manifest.sequence)
                  .arg(manifest.expires.toString(Qt::ISODate))
                  .arg(manifest.files.size())
                  .arg(UpdateSignature::keyIdText(key.keyId)));
    return Success;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Writes the release manifest of an update repository folder made by repogen "
            "(REPOSITORY/release.manifest), for minisign to sign:\n"
            "  minisign -S -s SECRET_KEY -m REPOSITORY/release.manifest\n"
            "With --verify, checks a signed folder before it is uploaded."));
    parser.addHelpOption();
    parser.addOptions({
            {QStringLiteral("release-version"),
             QStringLiteral("The release's version (default: com.norvatek.lumeral's in "
                            "REPOSITORY/Updates.xml)."),
             QStringLiteral("version")},
            {QStringLiteral("sequence"),
             QStringLiteral("The publication's number, larger than any before it (default: the "
                            "time in seconds since 1970)."),
             QStringLiteral("number")},
            {QStringLiteral("expires-in-days"),
             QStringLiteral("How long clients accept the manifest (default: 30)."),
             QStringLiteral("days")},
            {QStringLiteral("expires"),
             QStringLiteral("Instead, when the manifest expires (2027-01-31T00:00:00Z)."),
             QStringLiteral("time")},
            {QStringLiteral("verify"),
             QStringLiteral("Verify the folder's signed manifest with this minisign public key "
                            "and every file against it; write nothing."),
             QStringLiteral("public key file")},
    });
    parser.addPositionalArgument(QStringLiteral("REPOSITORY"),
                                 QStringLiteral("The repository folder."));
    parser.process(application);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1 || !QFileInfo(positional.first()).isDir()) {
        print(stderr,
              QStringLiteral("updater_manifest: one repository folder expected; see --help"));
        return UsageError;
    }
    if (parser.isSet(QStringLiteral("verify")))
        return verify(positional.first(), parser.value(QStringLiteral("verify")));
    return write(positional.first(), parser);
}
