#include "ifw_installation.h"

#include "test_files.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

QMap<QString, QByteArray> digestsBelow(const QString &directory)
{
    QMap<QString, QByteArray> digests;
    for (const QString &file : filesBelow(directory))
        digests.insert(file, fileDigest(directory + u'/' + file));
    return digests;
}

// Every file of expected with its digest (any content where the digest is empty), and nothing
// else but files of mayStay, with theirs.
QString differences(const QString &directory, const QMap<QString, QByteArray> &expected,
                    const QMap<QString, QByteArray> &mayStay = {})
{
    QStringList found;
    const QMap<QString, QByteArray> actual = digestsBelow(directory);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            found += it.key() + u": missing"_s;
        else if (!it.value().isEmpty() && actual.value(it.key()) != it.value())
            found += it.key() + u": other content"_s;
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        const QByteArray allowed = mayStay.value(it.key(), it.value());
        if (!expected.contains(it.key())
            && (!mayStay.contains(it.key()) || (!allowed.isEmpty() && allowed != it.value())))
            found += it.key() + u": not expected"_s;
    }
    return found.join(u'\n');
}

} // namespace

QString IfwInstallation::product()
{
    return qEnvironmentVariable("UPDATER_IFW_PRODUCT");
}

IfwInstallation::IfwInstallation(const QString &product, const QString &base,
                                 const QString &release)
    : productDirectory(product), layout(base, u"Corvane"_s),
      toolPath(layout.directory + u"/maintenancetool"_s),
      installedRelease(QFileInfo::exists(product + u"/packages/"_s + release
                                         + u"/com.norvatek.lumeral.runtime"_s)
                               ? u"1.0.0-with-runtime"_s
                               : u"1.0.0"_s)
{ }

bool IfwInstallation::install(QString &error)
{
    // The installer keeps its lock and cache in a temporary directory of its own, so that the
    // helper's finds only what the helper and its tool leave.
    const QString temporary = layout.base + u"/installer-tmp"_s;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"minimal"_s);
    environment.insert(u"TMPDIR"_s, temporary);
    QProcess installer;
    installer.setProcessEnvironment(environment);
    installer.setProcessChannelMode(QProcess::MergedChannels);
    QDir().mkpath(temporary);
    // installer, or installer-with-runtime
    installer.start(productDirectory + u"/installer"_s + installedRelease.mid(5),
                    {u"--root"_s, layout.directory, u"--cache-path"_s, temporary + u"/cache"_s,
                     u"--accept-licenses"_s, u"--default-answer"_s, u"--confirm-command"_s,
                     u"install"_s});
    // An installer still running at the limit is killed with the QProcess.
    if (!installer.waitForFinished(120000) || installer.exitStatus() != QProcess::NormalExit
        || installer.exitCode() != 0 || !QFileInfo(toolPath).isExecutable()) {
        error = u"the installer failed (exit code %1):\n"_s.arg(installer.exitCode())
                + QString::fromUtf8(installer.readAll());
        return false;
    }
    installed = digestsBelow(layout.directory);
    return true;
}

QMap<QString, QByteArray> IfwInstallation::payload(const QString &release) const
{
    QMap<QString, QByteArray> digests;
    const QDir packages(productDirectory + u"/packages/"_s + release);
    for (const QString &component : packages.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        digests.insert(digestsBelow(packages.filePath(component + u"/data"_s)));
    return digests;
}

QString IfwInstallation::mismatchesWithInstalled(const QString &release) const
{
    return differences(layout.directory, installed,
                       release.isEmpty() ? QMap<QString, QByteArray>() : updated(release));
}

QString IfwInstallation::mismatchesWithPayload(const QString &release) const
{
    return differences(layout.directory, updated(release));
}

QMap<QString, QByteArray> IfwInstallation::updated(const QString &release) const
{
    // The tool's own files are those the installer put beside the payload of 1.0.0; it names its
    // lists of unpacked files (installerResources/PACKAGE/1.0.0content.txt, one per archive) after
    // the version.
    QMap<QString, QByteArray> expected = payload(release);
    const QMap<QString, QByteArray> installedPayload = payload(installedRelease);
    const QString version = release.section(u'-', 0, 0);
    for (QString file : installed.keys()) {
        if (!installedPayload.contains(file))
            expected.insert(file.replace(u"/1.0.0"_s, u'/' + version), QByteArray());
    }
    for (const QString &file : filesBelow(layout.directory)) {
        if (file.startsWith(u"installerResources/"_s)
            && QFileInfo(file).fileName().startsWith(version))
            expected.insert(file, QByteArray());
    }
    // A new maintenance tool that a package ships (under IFW's name for it) is written over the
    // tool, and its own file removed.
    if (expected.contains(u"installerbase"_s))
        expected.insert(u"maintenancetool"_s, expected.take(u"installerbase"_s));
    return expected;
}
