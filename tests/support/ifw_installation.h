#pragma once

#include "sample_installation.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// A real installation of the Corvane product that scripts/ifw-product makes with Qt Installer
// Framework: 1.0.0 put in place by the product's online installer, with IFW's maintenance tool.
// The product's directory comes from UPDATER_IFW_PRODUCT.
//
// layout names the paths as HelperRunner wants them: base, the installation (base/Corvane), the
// client (base/Corvane/Corvane), the handoff file and the client's launch record. The product's
// repositories are in productDirectory/repositories.
class IfwInstallation
{
public:
    // The product's directory, or empty when the suite does not run against the real tool.
    static QString product();

    IfwInstallation(const QString &product, const QString &base);

    // Installs 1.0.0 with the installer's command line (no display needed) and remembers every
    // file it left, byte for byte.
    bool install(QString &error);
    // The package's payload of a version: packages/VERSION/com.norvatek.lumeral/data.
    QString payload(const QString &version) const;

    // The files that differ from what install() left, one line each; empty when none does.
    // rolledBack: an update to that version was rolled back, and the files it added may stay.
    QString mismatchesWithInstalled(const QString &rolledBack = QString()) const;
    // The files that differ from the payload of version, one line each: every payload file must
    // be there byte for byte, and nothing else but the tool's own files.
    QString mismatchesWithPayload(const QString &version) const;

    QString productDirectory;
    SampleInstallation layout;
    QString toolPath;

private:
    // Every file an update to version leaves, with its digest (empty: any content).
    QMap<QString, QByteArray> updated(const QString &version) const;

    QMap<QString, QByteArray> installed;
};
