#include "ifw_installation.h"

#include "helper_runner.h"
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

IfwInstallation::IfwInstallation(HelperRunner &runner, const QString &product, const QString &base,
                                 const QString &release)
    : productDirectory(product), layout(base, u"Corvane"_s + runner.executableSuffix),
      toolPath(layout.directory + u"/maintenancetool"_s + runner.executableSuffix), runner(runner),
      installedRelease(QFileInfo::exists(product + u"/packages/"_s + release
                                         + u"/com.norvatek.lumeral.runtime"_s)
                               ? u"1.0.0-with-runtime"_s
                               : u"1.0.0"_s)
{ }

bool IfwInstallation::install(QString &error)
{
    // The installer keeps its lock, cache and temporary files in a folder of its own, so that the
    // helper's finds only what the helper and its tool leave.
    SampleInstallation installer = layout;
    installer.base = layout.base + u"/installer"_s;
    QDir().mkpath(layout.base);
    // installer, or installer-with-runtime
    QProcess *process = runner.start(
            installer,
            {u"--root"_s, runner.asProgramsSeeIt(layout.base) + u"/Corvane"_s, u"--cache-path"_s,
             runner.asProgramsSeeIt(installer.base) + u"/cache"_s, u"--accept-licenses"_s,
             u"--default-answer"_s, u"--confirm-command"_s, u"install"_s},
            QString(),
            productDirectory + u"/installer"_s + installedRelease.mid(5) + runner.executableSuffix);
    // An installer still running at the limit is killed with the runner's processes.
    if (!process->waitForFinished(120000) || process->exitStatus() != QProcess::NormalExit
        || process->exitCode() != 0 || !QFileInfo::exists(toolPath)) {
        error = u"the installer failed (exit code %1):\n"_s.arg(process->exitCode())
                + QString::fromUtf8(process->readAll());
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
    const QString shipped = u"installerbase"_s + runner.executableSuffix;
    if (expected.contains(shipped))
        expected.insert(QFileInfo(toolPath).fileName(), expected.take(shipped));
    return expected;
}
