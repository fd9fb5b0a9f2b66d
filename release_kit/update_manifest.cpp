#include "update_manifest.h"

#include "update_installation.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QVersionNumber>

#include <algorithm>

namespace {

const QByteArray FormatName = QByteArrayLiteral("corvane-release-manifest");
const QByteArray ExpiryFormat = QByteArrayLiteral("yyyy-MM-ddTHH:mm:ssZ");
// Far beyond any release; it keeps the sum of every size below what a qint64 holds.
constexpr qint64 MaximumFileSize = qint64(1) << 50;

// Decimal, without sign or leading zeros, as QByteArray::toLongLong alone does not insist.
bool readNumber(const QByteArray &text, qint64 &number)
{
    static const QRegularExpression pattern(QStringLiteral("^(0|[1-9][0-9]{0,17})$"));
    if (!pattern.match(QString::fromLatin1(text)).hasMatch())
        return false;
    bool ok = false;
    number = text.toLongLong(&ok);
    return ok;
}

bool readExpiry(const QByteArray &text, QDateTime &expires)
{
    expires = QDateTime::fromString(QString::fromLatin1(text), QString::fromLatin1(ExpiryFormat));
    expires.setTimeSpec(Qt::UTC);
    return expires.isValid()
            && expires.toString(QString::fromLatin1(ExpiryFormat)).toLatin1() == text;
}

bool isDeviceName(const QString &segment)
{
    static const QRegularExpression pattern(QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])$"),
                                            QRegularExpression::CaseInsensitiveOption);
    // Windows takes "nul.txt" for the device too.
    return pattern.match(segment.section(QLatin1Char('.'), 0, 0).trimmed()).hasMatch();
}

// One "KEY VALUE" header line.
bool readHeader(const QByteArray &line, const char *key, QByteArray &value)
{
    const QByteArray prefix = QByteArray(key) + ' ';
    if (!line.startsWith(prefix))
        return false;
    value = line.mid(prefix.size());
    return true;
}

struct Parser
{
    const QList<QByteArray> &lines;
    UpdateManifest &manifest;
    QString &error;

    bool fail(qsizetype lineIndex, const QString &what)
    {
        error = QStringLiteral("line %1: %2").arg(lineIndex + 1).arg(what);
        return false;
    }

    bool header()
    {
        QByteArray value;
        QVersionNumber version;
        if (lines.size() < 4)
            return fail(lines.size(), QStringLiteral("the header ends early"));
        if (!readHeader(lines.at(1), "version", value)
            || !UpdateInstallation::isWholeVersionNumber(QString::fromLatin1(value), version))
            return fail(1, QStringLiteral("\"version\" and a version number expected"));
        manifest.version = QString::fromLatin1(value);
        if (!readHeader(lines.at(2), "sequence", value) || !readNumber(value, manifest.sequence))
            return fail(2, QStringLiteral("\"sequence\" and a number expected"));
        if (!readHeader(lines.at(3), "expires", value) || !readExpiry(value, manifest.expires))
            return fail(
                    3,
                    QStringLiteral("\"expires\" and a UTC time (2027-01-31T00:00:00Z) expected"));
        return true;
    }

    bool file(qsizetype lineIndex)
    {
        static const QRegularExpression pattern(
                QStringLiteral("^file ([0-9a-f]{64}) ([0-9]+) (.*)$"),
                QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(lines.at(lineIndex)));
        UpdateManifestFile file;
        if (!match.hasMatch() || !readNumber(match.captured(2).toLatin1(), file.size)
            || file.size > MaximumFileSize)
            return fail(lineIndex,
                        QStringLiteral("\"file\", a SHA-256, a size and a path expected"));
        file.sha256 = QByteArray::fromHex(match.captured(1).toLatin1());
        file.path = match.captured(3);
        QString why;
        if (!UpdateManifest::isSafePath(file.path, &why))
            return failPath(file.path, why);
        if (!manifest.files.isEmpty()
            && !UpdateManifest::pathPrecedes(manifest.files.constLast().path, file.path))
            return fail(
                    lineIndex,
                    QStringLiteral("the path \"%1\" is out of order or repeated").arg(file.path));
        manifest.files.append(file);
        return true;
    }

    // Windows ignores letter case, and one name cannot be a file and a folder at once: such a
    // manifest cannot be laid out on disk as it was signed.
    bool clashes()
    {
        QSet<QString> files;
        QSet<QString> folders;
        for (const UpdateManifestFile &file : std::as_const(manifest.files)) {
            const QString folded = file.path.toCaseFolded();
            if (files.contains(folded))
                return failPath(file.path,
                                QStringLiteral("differs from another one only in letter case"));
            files.insert(folded);
            for (qsizetype slash = folded.indexOf(QLatin1Char('/')); slash >= 0;
                 slash = folded.indexOf(QLatin1Char('/'), slash + 1))
                folders.insert(folded.left(slash));
        }
        for (const UpdateManifestFile &file : std::as_const(manifest.files)) {
            if (folders.contains(file.path.toCaseFolded()))
                return failPath(file.path, QStringLiteral("names both a file and a folder"));
        }
        return true;
    }

    bool failPath(const QString &path, const QString &what)
    {
        error = QStringLiteral("the path \"%1\" %2").arg(path, what);
        return false;
    }
};

} // namespace

qint64 UpdateManifest::totalSize() const
{
    qint64 total = 0;
    for (const UpdateManifestFile &file : files)
        total += file.size;
    return total;
}

const UpdateManifestFile *UpdateManifest::file(const QString &path) const
{
    for (const UpdateManifestFile &file : files) {
        if (file.path == path)
            return &file;
    }
    return nullptr;
}

QByteArray UpdateManifest::toBytes() const
{
    QList<UpdateManifestFile> sorted = files;
    std::sort(sorted.begin(), sorted.end(),
              [](const UpdateManifestFile &left, const UpdateManifestFile &right) {
                  return pathPrecedes(left.path, right.path);
              });
    QByteArray text = FormatName + ' ' + QByteArray::number(FormatVersion) + '\n';
    text += "version " + version.toUtf8() + '\n';
    text += "sequence " + QByteArray::number(sequence) + '\n';
    text += "expires " + expires.toUTC().toString(QString::fromLatin1(ExpiryFormat)).toLatin1()
            + '\n';
    for (const UpdateManifestFile &file : std::as_const(sorted)) {
        text += "file " + file.sha256.toHex() + ' ' + QByteArray::number(file.size) + ' '
                + file.path.toUtf8() + '\n';
    }
    return text;
}

UpdateManifest::ParseResult UpdateManifest::parse(const QByteArray &bytes, UpdateManifest &manifest,
                                                  QString &error)
{
    manifest = UpdateManifest();
    const auto malformed = [&manifest](ParseResult result = ParseResult::Malformed) {
        manifest = UpdateManifest();
        return result;
    };
    if (bytes.size() > MaximumSize) {
        error = QStringLiteral("it is larger than %1 bytes").arg(MaximumSize);
        return malformed();
    }
    // The first line alone decides the format, so that a later format may change the rest.
    const QByteArray first = bytes.left(bytes.indexOf('\n'));
    const QByteArray formatPrefix = FormatName + ' ';
    qint64 format = 0;
    if (!first.startsWith(formatPrefix) || !readNumber(first.mid(formatPrefix.size()), format)) {
        error = QStringLiteral("it is not a release manifest");
        return malformed();
    }
    if (format != FormatVersion) {
        error = QStringLiteral("it is of format %1, and this kit reads format %2")
                        .arg(format)
                        .arg(FormatVersion);
        return malformed(ParseResult::UnsupportedFormat);
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(bytes);
    if (decoder.hasError() || bytes.contains('\r') || bytes.startsWith("\xEF\xBB\xBF")) {
        error = QStringLiteral("it is not UTF-8 text with LF line ends");
        return malformed();
    }
    if (!bytes.endsWith('\n')) {
        error = QStringLiteral("its last line has no line end");
        return malformed();
    }
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast();

    Parser parser {lines, manifest, error};
    if (!parser.header())
        return malformed();
    if (lines.size() == 4) {
        error = QStringLiteral("it lists no files");
        return malformed();
    }
    for (qsizetype index = 4; index < lines.size(); ++index) {
        if (!parser.file(index))
            return malformed();
    }
    if (!parser.clashes())
        return malformed();
    return ParseResult::Parsed;
}

bool UpdateManifest::isSafePath(const QString &path, QString *why)
{
    const auto refuse = [why](const char *reason) {
        if (why)
            *why = QString::fromLatin1(reason);
        return false;
    };
    if (path.isEmpty())
        return refuse("is empty");
    for (const QChar character : path) {
        if (character.unicode() < 0x20 || character.unicode() == 0x7f)
            return refuse("holds a NUL or another control character");
    }
    if (path.startsWith(QLatin1Char('/')))
        return refuse("is absolute");
    if (path.contains(QLatin1Char('\\')))
        return refuse("holds a backslash");
    if (path.contains(QLatin1Char(':')))
        return refuse("holds a colon (a drive letter or a stream)");
    for (const char refused : {'<', '>', '"', '|', '?', '*'}) {
        if (path.contains(QLatin1Char(refused)))
            return refuse("holds a character that Windows refuses in names");
    }
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (segment.isEmpty())
            return refuse("has an empty segment");
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return refuse("has a . or .. segment");
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return refuse("has a segment that ends in a dot or a space");
        if (isDeviceName(segment))
            return refuse("has a segment that is a device name on Windows");
    }
    if (segments.size() == 1
        && (path.compare(FileName, Qt::CaseInsensitive) == 0
            || path.compare(SignatureFileName, Qt::CaseInsensitive) == 0))
        return refuse("is the manifest's own name");
    return true;
}

bool UpdateManifest::pathPrecedes(const QString &left, const QString &right)
{
    return left.toUtf8() < right.toUtf8();
}
