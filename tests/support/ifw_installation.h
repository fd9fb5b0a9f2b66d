#pragma once

#include "sample_installation.h"

class HelperRunner;

#include <QByteArray>
#include <QMap>
#include <QString>

// A real installation of the Corvane product that scripts/ifw-product makes with Qt Installer
// Framework: the 1.0.0 of the components that a release updates (the client alone, or the client
// and its runtime) put in place by the product's online installer, with IFW's maintenance tool.
// The product's directory comes from UPDATER_IFW_PRODUCT; its programs are of the platform the
// runner runs (the product for Windows under Wine, from scripts/ifw-product --windows).
//
// layout names the paths as HelperRunner wants them: base, the installation (base/Corvane), the
// client (base/Corvane/Corvane, with the runner's suffix), the handoff file and the client's
// launch record. The product's
// repositories are in productDirectory/repositories, its packages' files in
// productDirectory/packages/RELEASE/COMPONENT/data.
class IfwInstallation
{
public:
    // The product's directory, or empty when the suite does not run against the real tool.
    static QString product();

    IfwInstallation(HelperRunner &runner, const QString &product, const QString &base,
                    const QString &release);

    // Installs 1.0.0 with the installer's command line, started as the runner starts the helper,
    // and remembers every file it left, byte for byte.
    bool install(QString &error);

    // The files that differ from what install() left, one line each; empty when none does. With
    // a release, files that the update to it adds may stay: a rollback puts back what was there.
    QString mismatchesWithInstalled(const QString &release = QString()) const;
    // The files that differ from the packages of release: every file of theirs must be there byte
    // for byte, and nothing else but the tool's own files.
    QString mismatchesWithPayload(const QString &release) const;

    QString productDirectory;
    SampleInstallation layout;
    QString toolPath;

private:
    QMap<QString, QByteArray> payload(const QString &release) const;
    // Every file the update to release leaves, with its digest (empty: any content).
    QMap<QString, QByteArray> updated(const QString &release) const;

    HelperRunner &runner;
    // The release the installer installs: 1.0.0, or 1.0.0-with-runtime.
    QString installedRelease;
    QMap<QString, QByteArray> installed;
};
