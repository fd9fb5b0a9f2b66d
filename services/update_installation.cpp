#include "update_installation.h"

#include <QFile>
#include <QFileInfo>
#include <QVersionNumber>
#include <QXmlStreamReader>

namespace {

constexpr qint64 MaximumFileSize = 4194304;

bool isWholeVersionNumber(const QString &text, QVersionNumber &version)
{
    qsizetype suffixIndex = -1;
    version = QVersionNumber::fromString(text, &suffixIndex);
    return !version.isNull() && suffixIndex == text.size();
}

} // namespace

namespace UpdateInstallation {

bool matchesVersion(const QString &installationDirectory, const QString &expectedVersion)
{
    const QString path = installationDirectory + QLatin1String("/components.xml");
    // Regular files only: opening a FIFO for reading waits for a writer for ever, and a device
    // reports no size to hold against the cap.
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return matchesVersion(file, expectedVersion);
}

bool matchesVersion(QIODevice &document, const QString &expectedVersion)
{
    if (document.size() > MaximumFileSize)
        return false;

    QXmlStreamReader reader(&document);
    QString installedVersion;
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

    QVersionNumber expected;
    QVersionNumber installed;
    return reader.error() == QXmlStreamReader::NoError
            && isWholeVersionNumber(expectedVersion, expected)
            && isWholeVersionNumber(installedVersion, installed)
            && QVersionNumber::compare(expected, installed) == 0;
}

} // namespace UpdateInstallation
