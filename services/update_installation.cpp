#include "update_installation.h"

#include <QFile>
#include <QFileInfo>
#include <QVersionNumber>
#include <QXmlStreamReader>

namespace {

constexpr qint64 MaximumFileSize = 4194304;

// The text of the version that the document records for the client's package; false when the
// document is too large or is not well-formed XML.
bool readRecordedVersion(QIODevice &document, QString &installedVersion)
{
    if (document.size() > MaximumFileSize)
        return false;

    QXmlStreamReader reader(&document);
    installedVersion.clear();
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement() || reader.name() != QLatin1String("Package"))
            continue;

        QString name;
        QString version;
        while (reader.readNextStartElement()) {
            if (reader.name() == QLatin1String("Name"))
                name = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
            else if (reader.name() == QLatin1String("Version"))
                version = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
            else
                reader.skipCurrentElement();
        }
        if (name == QLatin1String("com.norvatek.lumeral"))
            installedVersion = version;
    }
    return reader.error() == QXmlStreamReader::NoError;
}

// Regular files only: opening a FIFO for reading waits for a writer for ever, and a device
// reports no size to hold against the cap.
bool openComponents(const QString &installationDirectory, QFile &file)
{
    file.setFileName(installationDirectory + QLatin1String("/components.xml"));
    return QFileInfo(file.fileName()).isFile() && file.open(QIODevice::ReadOnly);
}

} // namespace

namespace UpdateInstallation {

bool isWholeVersionNumber(const QString &text, QVersionNumber &version)
{
    qsizetype suffixIndex = -1;
    version = QVersionNumber::fromString(text, &suffixIndex);
    return !version.isNull() && suffixIndex == text.size();
}

bool matchesVersion(const QString &installationDirectory, const QString &expectedVersion)
{
    QFile file;
    return openComponents(installationDirectory, file) && matchesVersion(file, expectedVersion);
}

bool matchesVersion(QIODevice &document, const QString &expectedVersion)
{
    QString installedText;
    QVersionNumber expected;
    QVersionNumber installed;
    return readRecordedVersion(document, installedText)
            && isWholeVersionNumber(expectedVersion, expected)
            && isWholeVersionNumber(installedText, installed)
            && QVersionNumber::compare(expected, installed) == 0;
}

bool installedVersion(const QString &installationDirectory, QVersionNumber &version)
{
    QFile file;
    QString text;
    return openComponents(installationDirectory, file) && readRecordedVersion(file, text)
            && isWholeVersionNumber(text, version);
}

} // namespace UpdateInstallation
