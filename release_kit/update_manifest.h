#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// One file of a release's repository folder, as its publisher listed it.
struct UpdateManifestFile
{
    // Relative to the repository folder, "/" between segments; it passes isSafePath().
    QString path;
    qint64 size = 0;
    // The SHA-256 of the file's bytes, 32 bytes.
    QByteArray sha256;
};

// The release manifest: what a publisher signs, with minisign, about one publication of an update
// repository. A text file in UTF-8 with LF line ends, the last line ended too:
//
//     corvane-release-manifest 1
//     version 2.0.0
//     sequence 1796738030
//     expires 2027-01-07T13:47:00Z
//     file <SHA-256, 64 lowercase hex digits> <size in bytes> <path>
//     file ...
//
// The first line names the format and its version; the header lines follow in this order; then
// one line per file of the folder, at least one, in increasing order of the paths' UTF-8 bytes.
// Numbers are decimal without sign or leading zeros; the expiry is a UTC time to the second; a
// path is the rest of its line. Nothing else is allowed: no other line, no empty line, no CR, no
// space more or less. There is thus exactly one text for each manifest, and what was signed
// is what is read.
struct UpdateManifest
{
    static constexpr int FormatVersion = 1;
    // Where a publication keeps the manifest and its signature: in the repository folder, beside
    // the files it lists (and not listed itself).
    static inline const QString FileName = QStringLiteral("release.manifest");
    static inline const QString SignatureFileName = QStringLiteral("release.manifest.minisig");
    // A repository of tens of thousands of files fits in far less.
    static constexpr qint64 MaximumSize = 4194304;

    enum class ParseResult {
        Parsed,
        Malformed,
        // A well-formed first line that names another format version.
        UnsupportedFormat,
    };

    // The release's version, a whole version number (as components.xml records it).
    QString version;
    // Grows with every publication; a client refuses a manifest with a lower one than it has seen.
    qint64 sequence = 0;
    // In UTC, whole seconds; a client refuses the manifest from then on.
    QDateTime expires;
    QList<UpdateManifestFile> files;

    // The sum of the files' sizes.
    qint64 totalSize() const;
    // The listed file whose path is `path`, exactly; nullptr when there is none.
    const UpdateManifestFile *file(const QString &path) const;

    // The manifest's one text. The files are written in the order of their paths' bytes.
    QByteArray toBytes() const;

    // Reads `bytes` by the rules above into `manifest`; on failure `error` says what is wrong,
    // in English, and `manifest` is left empty.
    static ParseResult parse(const QByteArray &bytes, UpdateManifest &manifest, QString &error);

    // True when `path` may name a file of a manifest: relative, "/" between non-empty segments,
    // none of them "." or "..", no backslash, no colon (a drive letter, an NTFS stream), no NUL
    // or other control character, none of the characters Windows refuses in names, no segment
    // that ends in a dot or a space (Windows drops them) or is one of its device names (CON,
    // NUL, COM1, ...), and not the manifest's own names. `why` then says what is wrong.
    static bool isSafePath(const QString &path, QString *why = nullptr);

    // The order the files are listed in.
    static bool pathPrecedes(const QString &left, const QString &right);
};
