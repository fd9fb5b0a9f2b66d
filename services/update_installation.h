#pragma once

#include <QString>

class QIODevice;
class QVersionNumber;

namespace UpdateInstallation {

// True when all of text is a version number (one or more dot-separated decimal numbers, nothing
// after the last), which is then in version: the rule by which the installed version and the
// expected one count.
bool isWholeVersionNumber(const QString &text, QVersionNumber &version);

// True only when the installer's components.xml in installationDirectory lists the package
// "com.norvatek.lumeral" with exactly expectedVersion (compared as version numbers, so 1.02
// equals 1.2 but 1.2 differs from 1.2.0). Every failure is simply false.
bool matchesVersion(const QString &installationDirectory, const QString &expectedVersion);

// The same check on a components.xml document that is already open for reading; document.size()
// is held against the size cap as the file's size is.
bool matchesVersion(QIODevice &document, const QString &expectedVersion);

// The version that the installer's components.xml in installationDirectory records for the
// package "com.norvatek.lumeral", read by the same rules: false when the file is missing, too
// large or malformed, lists no such package, or its version is not a whole version number.
bool installedVersion(const QString &installationDirectory, QVersionNumber &version);

} // namespace UpdateInstallation
