#pragma once

#include <QString>

class QIODevice;

namespace UpdateInstallation {

// True only when the installer's components.xml in installationDirectory lists the package
// "com.norvatek.lumeral" with exactly expectedVersion (compared as version numbers, so 1.02
// equals 1.2 but 1.2 differs from 1.2.0). Every failure is simply false.
bool matchesVersion(const QString &installationDirectory, const QString &expectedVersion);

// The same check on a components.xml document that is already open for reading; document.size()
// is held against the size cap as the file's size is.
bool matchesVersion(QIODevice &document, const QString &expectedVersion);

} // namespace UpdateInstallation
