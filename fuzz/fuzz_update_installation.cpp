// libFuzzer target for UpdateInstallation::matchesVersion.
//
// Input: the first line is the expected version, the rest is the components.xml document. Every
// input is also judged by a reference reader below, written independently as a flat walk over the
// reader's tokens with its own version parser; any disagreement aborts, and so counts as a finding.
//
// Debian's Qt is not instrumented, so coverage feedback comes only from this file and the service;
// the reference walk branching on token kinds and error codes is what lets the fuzzer tell apart
// inputs that reach different parts of the XML reader.

#include "update_installation.h"

#include <QBuffer>
#include <QByteArray>
#include <QString>
#include <QXmlStreamReader>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const QLatin1String PackageName("com.norvatek.lumeral");

bool isAsciiSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// Numbers separated by single dots with nothing else after the last one. Like QVersionNumber, it
// lets each number be preceded by ASCII white space and then one plus sign.
bool parseVersion(const QString &text, std::vector<long long> &segments)
{
    segments.clear();
    qsizetype i = 0;
    const qsizetype size = text.size();
    for (;;) {
        while (i < size && isAsciiSpace(text.at(i).unicode()))
            ++i;
        if (i < size && text.at(i) == u'+')
            ++i;
        const qsizetype firstDigit = i;
        long long value = 0;
        while (i < size && text.at(i) >= u'0' && text.at(i) <= u'9') {
            value = value * 10 + (text.at(i).unicode() - u'0');
            if (value > INT_MAX)
                return false;
            ++i;
        }
        if (i == firstDigit)
            return false;
        segments.push_back(value);
        if (i == size)
            return true;
        if (text.at(i) != u'.')
            return false;
        ++i;
    }
}

// What matchesVersion must answer, found without its readNextStartElement / readElementText /
// skipCurrentElement structure: one loop over all tokens with explicit depth bookkeeping.
bool referenceMatchesVersion(const QByteArray &document, const QString &expectedVersion)
{
    enum class State { Outside, InPackage, InField, Skipping };

    QXmlStreamReader reader(document);
    State state = State::Outside;
    int depth = 0;
    int packageDepth = 0;
    int skipUntilDepth = 0;
    bool fieldIsName = false;
    QString field;
    QString name;
    QString version;
    QString installedVersion;

    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            ++depth;
            switch (state) {
            case State::Outside:
                if (reader.name() == QLatin1String("Package")) {
                    state = State::InPackage;
                    packageDepth = depth;
                    name.clear();
                    version.clear();
                }
                break;
            case State::InPackage:
                if (reader.name() == QLatin1String("Name")
                    || reader.name() == QLatin1String("Version")) {
                    state = State::InField;
                    fieldIsName = reader.name() == QLatin1String("Name");
                    field.clear();
                } else {
                    state = State::Skipping;
                    skipUntilDepth = depth - 1;
                }
                break;
            case State::InField:
                // Markup inside Name or Version makes the whole document unacceptable.
                return false;
            case State::Skipping:
                break;
            }
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            if (state == State::InField) {
                (fieldIsName ? name : version) = field;
                state = State::InPackage;
            } else if (state == State::Skipping && depth == skipUntilDepth) {
                state = State::InPackage;
            } else if (state == State::InPackage && depth == packageDepth - 1) {
                if (name == PackageName)
                    installedVersion = version;
                state = State::Outside;
            }
            break;
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::EntityReference:
            if (state == State::InField)
                field += reader.text();
            break;
        case QXmlStreamReader::Invalid:
            return false;
        case QXmlStreamReader::NoToken:
        case QXmlStreamReader::StartDocument:
        case QXmlStreamReader::EndDocument:
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::ProcessingInstruction:
            break;
        }
    }
    if (reader.hasError())
        return false;

    std::vector<long long> expected;
    std::vector<long long> installed;
    return parseVersion(expectedVersion, expected) && parseVersion(installedVersion, installed)
            && expected == installed;
}

[[noreturn]] void reportDisagreement(bool matches, const QString &expectedVersion)
{
    std::fprintf(stderr,
                 "matchesVersion answered %s for the expected version \"%s\"; the reference reader "
                 "disagrees\n",
                 matches ? "true" : "false", expectedVersion.toUtf8().constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Raw data rather than copies, so that the document is read straight from libFuzzer's buffer,
    // whose bounds ASan guards, and without the terminating zero a copy would add.
    const char *const begin = reinterpret_cast<const char *>(data);
    const QByteArray input = QByteArray::fromRawData(begin, qsizetype(size));
    const qsizetype lineEnd = input.indexOf('\n');
    const QString expectedVersion = QString::fromUtf8(lineEnd < 0 ? input : input.first(lineEnd));
    QByteArray document = lineEnd < 0
            ? QByteArray()
            : QByteArray::fromRawData(begin + lineEnd + 1, qsizetype(size) - lineEnd - 1);

    QBuffer buffer(&document);
    if (!buffer.open(QIODevice::ReadOnly))
        std::abort();
    const bool matches = UpdateInstallation::matchesVersion(buffer, expectedVersion);

    if (matches != referenceMatchesVersion(document, expectedVersion))
        reportDisagreement(matches, expectedVersion);

    if (matches) {
        // The answer must not depend on how the expected version is spelt, only on its numbers,
        // and one more segment always makes a different version.
        std::vector<long long> segments;
        parseVersion(expectedVersion, segments);
        QString canonical;
        for (long long segment : segments)
            canonical += (canonical.isEmpty() ? QString() : QStringLiteral("."))
                    + QString::number(segment);
        buffer.seek(0);
        if (!UpdateInstallation::matchesVersion(buffer, canonical))
            reportDisagreement(false, canonical);
        buffer.seek(0);
        const QString longer = canonical + QStringLiteral(".0");
        if (UpdateInstallation::matchesVersion(buffer, longer))
            reportDisagreement(true, longer);
    }
    return 0;
}
