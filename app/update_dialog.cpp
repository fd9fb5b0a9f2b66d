#include "update_dialog.h"

#include "atomic_replacement.h"
#include "helper_copy.h"
#include "private_directory.h"
#include "shared_file_read.h"
#include "update_installation.h"
#include "update_journal.h"
#include "update_log_file.h"
#include "update_logon_entry.h"
#include "update_mirror.h"
#include "update_processes.h"
#include "update_rights.h"
#include "update_self_test.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLockFile>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr qsizetype LogTailSize = 16384;
constexpr int ConfirmationPollInterval = 100;
constexpr qint64 ConfirmationTimeLimit = 15000;
constexpr int ExitPollInterval = 250;
constexpr qint64 ExitHintThreshold = 3000;
constexpr qint64 ExitTimeLimit = 30000;
constexpr int QuitDelay = 500;
// IFW's maintenance tool updates only its essential and forced components when it finds any, then
// ends with this code and asks to be started again for the rest.
constexpr int EssentialUpdatedExitCode = 6;
constexpr int NothingToUpdateExitCode = 3;
// IFW asks for one more run per release; a tool that still answers 6 after this many runs in all
// is taken to be stuck rather than run for ever.
constexpr int ToolRunLimit = 4;
// How long the processes a tool run leaves in its job may go on before they are ended: IFW's
// cleanup (see waitForToolJob) ends about two seconds after the tool; it goes on for up to 120 s
// only while the old copy cannot be deleted, which the helper does not wait out.
constexpr int ToolJobPollInterval = 100;
constexpr qint64 ToolJobTimeLimit = 30000;

// A limit counts as reached from the millisecond it names on.
bool reached(const QElapsedTimer &timer, qint64 limit)
{
    return timer.elapsed() > limit - 1;
}

QString updateLogPath()
{
    return QDir(QDir::tempPath()).filePath(QStringLiteral("Corvane-update.log"));
}

// Only files of the user the helper runs as count: in a temporary directory shared with others
// (/tmp), a record planted by someone else must not choose what is copied into the installation.
// The lock file was made by this process; on Windows no owner is reported and every file passes.
bool ownedLikeTheLock(const QString &path, const QLockFile &lock)
{
    return QFileInfo(path).ownerId() == QFileInfo(lock.fileName()).ownerId();
}

// Where a helper started from inside the installation keeps the copy of itself that its logon
// entry starts: the installation may be half removed when that entry runs.
QString logonCopyDirectory()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return data.isEmpty() ? QString() : QDir(data).filePath(QStringLiteral("logon"));
}

// A relative path names a file from the directory the helper was started in, where it is checked.
// The tool and the client are started in the installation directory, and on Unix QProcess looks
// a relative program up only after changing there: the same text would name another file, or
// none, so the path is made absolute once, from here.
QString absoluteFromHere(const QString &path)
{
    return path.isEmpty() || QDir::isAbsolutePath(path) ? path
                                                        : QDir::current().absoluteFilePath(path);
}

} // namespace

UpdateDialog::UpdateDialog(QString maintenanceToolPath, QString repositoryUrl,
                           QString applicationPath, QString workingDirectory,
                           QString handoffFilePath, QStringList applicationArguments,
                           QString expectedVersion, QWidget *parent)
    : QDialog(parent), maintenanceToolPath(absoluteFromHere(maintenanceToolPath)),
      repositoryUrl(std::move(repositoryUrl)), applicationPath(absoluteFromHere(applicationPath)),
      workingDirectory(std::move(workingDirectory)), handoffFilePath(std::move(handoffFilePath)),
      applicationArguments(std::move(applicationArguments)),
      expectedVersion(std::move(expectedVersion)),
      statusLabel(new QLabel(tr("Выполняется обновление Corvane. Пожалуйста, подождите..."), this)),
      progressBar(new QProgressBar(this)), closeButton(new QPushButton(tr("Закрыть"), this)),
      process(new QProcess(this)), sessionGuard(this)
{
    setWindowTitle(tr("Обновление Corvane"));
    setFixedSize(500, 150);

    statusLabel->setWordWrap(true);
    progressBar->setRange(0, 0);
    progressBar->setTextVisible(false);
    closeButton->setVisible(false);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 22, 24, 20);
    layout->setSpacing(14);
    layout->addWidget(statusLabel);
    layout->addWidget(progressBar);
    layout->addWidget(closeButton, 0, Qt::AlignRight);

    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setWorkingDirectory(this->workingDirectory);
    toolTie.prepare(*process);

    connect(process, &QProcess::started, this, [this] { toolTie.attach(*process); });
    connect(process, &QIODevice::readyRead, this, [this] { onProcessOutput(); });
    connect(
            process, &QProcess::errorOccurred, this,
            [this](QProcess::ProcessError error) { onProcessError(error); }, Qt::QueuedConnection);
    connect(process, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus exitStatus) {
                onProcessFinished(exitCode, exitStatus);
            });
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(&elevation, &UpdateElevation::prepared, this, [this] { handOver(); });
    connect(&elevation, &UpdateElevation::ended, this,
            [this](const UpdateElevation::Outcome &outcome) { onElevationEnded(outcome); });
    connect(&elevation, &UpdateElevation::mayBegin, this, [this] {
        waitTimer.start();
        waitForApplicationExit();
    });
    connect(&elevation, &UpdateElevation::abandoned, this, [this] {
        finishWithError(tr("Программа обновления не дождалась закрытия Kestrova."), false);
    });

    QTimer::singleShot(0, Qt::PreciseTimer, this, [this] { prepareUpdate(); });
}

// Members go in reverse order: the log closes, the lock is released and the temporary directory
// removed before the base deletes the process, which kills a tool that still runs.
UpdateDialog::~UpdateDialog() = default;

void UpdateDialog::closeEvent(QCloseEvent *event)
{
    if (finished)
        QDialog::closeEvent(event);
    else
        event->ignore();
}

void UpdateDialog::reject()
{
    if (finished)
        QDialog::reject();
}

void UpdateDialog::appendLog(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;

    logTail.append(bytes);
    if (logTail.size() > LogTailSize)
        logTail.remove(0, logTail.size() - LogTailSize);

    if (logFile.isOpen()) {
        logFile.write(bytes);
        logFile.flush();
    }
}

// The tool's or the client's output before it may end without a line feed.
void UpdateDialog::appendLogLine(const QByteArray &line)
{
    appendLog(logTail.isEmpty() || logTail.endsWith('\n') ? line : '\n' + line);
}

bool UpdateDialog::writeHandoff(const QByteArray &record)
{
    if (handoffFilePath.isEmpty())
        return true;

    // The client reads this file every 50 ms; on Windows a replacement that lands during a read
    // fails, and is tried again for up to two seconds (blocking the dialog only then).
    return AtomicReplacement::replaceContents(handoffFilePath, record);
}

void UpdateDialog::prepareUpdate()
{
    // Named now, once for the whole run: the tool may remove or replace the client's file. At
    // logon only the short key is known; no lock, record or entry that it names means there is
    // nothing left to do.
    logonEntryName = recoveryOnly
            ? UpdateJournal::baseNameOf(recoveryKey, UpdateLogonEntry::names())
            : UpdateJournal::baseName(applicationPath);
    if (logonEntryName.isEmpty()) {
        endQuietly();
        return;
    }
    lockFile = std::make_unique<QLockFile>(UpdateJournal::lockFilePathOf(logonEntryName));
    journalFilePath = UpdateJournal::filePathOf(logonEntryName);
    lockFile->setStaleLockTime(0);
    if (!lockFile->tryLock(0)) {
        // At logon, a helper at work (the client was quicker) owns the record and the entry.
        if (recoveryOnly)
            endQuietly();
        else
            finishWithError(tr("Обновление этой установки уже выполняется."), false);
        return;
    }

    if (!temporaryDirectory.isValid()) {
        finishWithError(tr("Не удалось создать временный каталог обновления."), false);
        return;
    }

    // A record means that an update of this installation was cut off, perhaps after the tool had
    // removed every old file, the client's among them: the files are checked once it is undone.
    const QFileInfo record(journalFilePath);
    const bool interrupted = record.exists() || record.isSymLink();
    if (recoveryOnly && !interrupted) {
        // Nothing to put back: this installation's entry outlived its update.
        UpdateLogonEntry::remove(logonEntryName);
        endQuietly();
        return;
    }
    if (!interrupted && !filesArePresent())
        return;

    logFile.setFileName(updateLogPath());
    const bool logOpen = openUpdateLog(logFile);
    if (recoveryOnly && !takeRecordedOptions())
        return;
    if (logOpen) {
        QTextStream stream(&logFile);
        stream << QLatin1String("Repository: ") << repositoryUrl << Qt::endl;
    }
    if (!elevatedRun.isEmpty()) {
        // The unelevated helper hands over to the client; begun, this part waits for its exit
        // again, as a check of its own.
        appendLog(QByteArrayLiteral("Elevated part running from ")
                  + QCoreApplication::applicationFilePath().toUtf8() + '\n');
        elevation.takeRun(elevatedRun);
        if (!secureRepository())
            return;
        elevation.serve(elevatedRun, elevatedGoFile);
        return;
    }
    if (!recoveryOnly && !rightsSuffice())
        return;
    handOver();
}

void UpdateDialog::handOver()
{
    statusLabel->setText(tr("Ожидание закрытия Kestrova..."));
    waitTimer.start();

    if (handoffFilePath.isEmpty()) {
        waitForApplicationExit();
        return;
    }

    if (!writeHandoff(QByteArrayLiteral("ready"))) {
        finishWithError(tr("Не удалось подготовить передачу управления обновлению."), false);
        return;
    }

    waitForConfirmation();
}

void UpdateDialog::waitForConfirmation()
{
    // The elevated part may have failed meanwhile.
    if (finished)
        return;

    static const QByteArray confirmation = QByteArrayLiteral("continue");

    // The client owns this file. One byte more than the confirmation is enough to tell it apart,
    // so a huge or endless file costs no more than a small one; and only a regular file is
    // opened, since opening a FIFO would block the GUI thread until someone writes to it. The
    // read lets the client replace the file meanwhile (see SharedFileRead).
    QByteArray record;
    const bool confirmed = QFileInfo(handoffFilePath).isFile()
            && SharedFileRead::read(handoffFilePath, confirmation.size() + 1, record)
            && record == confirmation;

    if (confirmed) {
        waitTimer.restart();
        waitForApplicationExit();
        return;
    }

    if (reached(waitTimer, ConfirmationTimeLimit)) {
        finishWithError(tr("Клиент не подтвердил начало обновления. Повторите попытку."), false);
        return;
    }

    QTimer::singleShot(ConfirmationPollInterval, Qt::PreciseTimer, this,
                       [this] { waitForConfirmation(); });
}

void UpdateDialog::waitForApplicationExit()
{
    if (finished)
        return;
    const RunningProcesses result = UpdateProcesses::running(QFileInfo(applicationPath).fileName());

    if (result.windowsError != 0) {
        finishWithError(tr("Не удалось проверить завершение клиента (ошибка Windows %1).")
                                .arg(result.windowsError),
                        false);
        return;
    }

    if (result.processIds.isEmpty()) {
        startUpdate();
        return;
    }

    if (reached(waitTimer, ExitTimeLimit)) {
        const QString processIds = result.processIds.join(QLatin1String(", "));
        appendLog(QByteArrayLiteral("Update not started: running client PIDs: ")
                  + processIds.toUtf8() + '\n');
        finishWithError(tr("Kestrova ещё запущен. Закройте все его окна, включая тестовую версию, "
                           "и повторите обновление. Процессы: %1.")
                                .arg(processIds),
                        false);
        return;
    }

    if (reached(waitTimer, ExitHintThreshold))
        statusLabel->setText(
                tr("Ожидание закрытия Kestrova. Закройте также другие копии приложения."));

    QTimer::singleShot(ExitPollInterval, Qt::PreciseTimer, this,
                       [this] { waitForApplicationExit(); });
}

void UpdateDialog::startUpdate()
{
    sessionGuard.hold(tr("Выполняется обновление Corvane. Дождитесь его завершения, чтобы не "
                         "повредить установку."));
    if (elevated) {
        statusLabel->setText(tr("Выполняется обновление Corvane с правами администратора. "
                                "Пожалуйста, подождите..."));
        elevation.begin();
        return;
    }
    statusLabel->setText(tr("Сохранение установленной версии перед обновлением..."));

    if (!recoverInterruptedUpdate())
        return;
    if (recoveryOnly) {
        // The user did not ask for an update at this logon, and the network may not be up yet:
        // the client, back in its old version, offers the update again at its next check.
        sessionGuard.release();
        relaunch(tr("Прерванное обновление отменено. Запуск Corvane..."),
                 tr("Прерванное обновление отменено, но приложение не удалось запустить. "
                    "Запустите Corvane вручную."));
        return;
    }
    if (!filesArePresent())
        return;

    QString error;
    backup.setOwnFiles({updateLogPath(), lockFile->fileName(), journalFilePath});
    if (!backup.create(workingDirectory, error)) {
        finishWithError(error, true);
        return;
    }
    // Before the record, and removed after it: a record is never left without its entry.
    ownsLogonEntry = elevatedRun.isEmpty();
    writeLogonEntry();
    if (!recordUpdateInProgress()) {
        finishWithError(
                QStringLiteral("Не удалось сохранить резервную копию: %1").arg(journalFilePath),
                true);
        return;
    }
    appendLog(QByteArrayLiteral("Installation backup created.\n"));

    statusLabel->setText(tr("Выполняется обновление Corvane. Пожалуйста, подождите..."));
    startTool();
}

// Every run gets the same arguments, the cache directory included: the one backup made before the
// first run covers them all.
void UpdateDialog::startTool()
{
    ++toolRuns;
    // The markers and the answers are the last run's own.
    logTail.clear();
    const QStringList arguments = {
            QStringLiteral("--cache-path"),          temporaryDirectory.path(),
            QStringLiteral("--set-temp-repository"), repositoryUrl,
            QStringLiteral("--default-answer"),      QStringLiteral("--accept-licenses"),
            QStringLiteral("--confirm-command"),     QStringLiteral("update"),
    };
    process->start(maintenanceToolPath, arguments, QIODevice::ReadWrite);
}

// The logon entry names the installation only: what the interrupted run was given comes from its
// record. A record that cannot say it stops the run here, before anything is touched.
bool UpdateDialog::takeRecordedOptions()
{
    UpdateJournal::Record record;
    const UpdateJournal::ReadResult found = UpdateJournal::read(journalFilePath, record);
    if (found != UpdateJournal::ReadResult::Read || !ownedLikeTheLock(journalFilePath, *lockFile)) {
        refuseInterruptedUpdate(journalFilePath);
        return false;
    }
    if (record.applicationPath.isEmpty()) {
        // Written by an earlier helper, which kept the options in the entry itself. Restored
        // without them, the client could be neither waited for nor started; any helper the client
        // or the user starts restores from such a record.
        appendLog(QByteArrayLiteral("Interrupted update not restored at logon, its record does "
                                    "not name the client: ")
                  + journalFilePath.toUtf8() + '\n');
        finishWithError(tr("Предыдущее обновление Corvane было прервано, но отменить его при входе "
                           "в систему нельзя: его запись %1 оставлена прежней версией программы "
                           "обновления. Файлы установки не изменены; запустите Corvane, чтобы "
                           "восстановить его, или переустановите Corvane.")
                                .arg(journalFilePath),
                        false);
        return false;
    }
    maintenanceToolPath = record.maintenanceToolPath;
    repositoryUrl = record.repositoryUrl;
    applicationPath = record.applicationPath;
    workingDirectory = record.installationDirectory;
    applicationArguments = record.applicationArguments;
    expectedVersion = record.expectedVersion;
    process->setWorkingDirectory(workingDirectory);
    return true;
}

// A record under this installation's lock was left by a helper that died while the installation
// was being changed (the lock proves it is gone): its backup goes back before anything else, as
// its own rollback would have done, and only a whole backup is trusted with that.
bool UpdateDialog::recoverInterruptedUpdate()
{
    UpdateJournal::Record record;
    const UpdateJournal::ReadResult found = UpdateJournal::read(journalFilePath, record);
    if (found == UpdateJournal::ReadResult::Missing) {
        reportLeftoverBackups();
        return true;
    }

    if (found != UpdateJournal::ReadResult::Read || !ownedLikeTheLock(journalFilePath, *lockFile)
        || !ownedLikeTheLock(record.backupDirectory, *lockFile)
        || !UpdateJournal::backupIsWhole(record)) {
        refuseInterruptedUpdate(found == UpdateJournal::ReadResult::Read ? record.backupDirectory
                                                                         : journalFilePath);
        return false;
    }

    {
        // The entry names the installation only, so a record of the first format gets this run's
        // options first: the run the entry starts could not restore from it otherwise.
        if (record.applicationPath.isEmpty()) {
            recordOptions(record);
            if (!UpdateJournal::write(journalFilePath, record))
                appendLog(QByteArrayLiteral("Update record not rewritten with the options: ")
                          + journalFilePath.toUtf8() + '\n');
        }
        // Windows deleted the entry before it ran this helper; a restore that fails here is tried
        // again at the next logon.
        writeLogonEntry();
        QStringList files;
        for (const UpdateJournal::SavedFile &file : std::as_const(record.files))
            files.append(file.path);
        UpdateBackup interrupted;
        interrupted.adopt(record.installationDirectory, record.backupDirectory, files);
        QString error;
        if (!interrupted.restore(error)) {
            finishWithError(error, false);
            return false;
        }
        appendLog(QByteArrayLiteral("Restored the installation from the backup of an interrupted "
                                    "update: ")
                  + record.backupDirectory.toUtf8() + '\n');
        for (const QString &path : interrupted.removeUnfinishedCopies())
            appendLog(QByteArrayLiteral("Removed an unfinished copy of the interrupted restore: ")
                      + path.toUtf8() + '\n');
        // The record goes before the backup it names: a record without its backup would stop
        // every later update.
        if (UpdateJournal::remove(journalFilePath))
            removeLogonEntry();
        else
            interrupted.keepDirectory();
    }
    reportLeftoverBackups();
    return true;
}

void UpdateDialog::refuseInterruptedUpdate(const QString &backupPath)
{
    appendLog(QByteArrayLiteral("Interrupted update not restored, its record or backup is missing "
                                "or damaged: ")
              + journalFilePath.toUtf8() + QByteArrayLiteral(", ") + backupPath.toUtf8() + '\n');
    finishWithError(tr("Предыдущее обновление Corvane было прервано, но его резервная копия "
                       "не найдена или повреждена: %1. Файлы установки не изменены; "
                       "переустановите Corvane.")
                            .arg(backupPath),
                    false);
}

// Backups without a record are left alone: one may be a helper's of another installation that is
// still at work, or an interrupted one's that was never whole.
void UpdateDialog::reportLeftoverBackups()
{
    const QDir temporary(QDir::tempPath());
    const QStringList leftovers = temporary.entryList({QStringLiteral("Kestrova-update-backup-*")},
                                                      QDir::Dirs | QDir::Hidden, QDir::Name);
    for (const QString &name : leftovers) {
        appendLog(QByteArrayLiteral("Backup directory without an update record left in place: ")
                  + temporary.filePath(name).toUtf8() + '\n');
    }
}

bool UpdateDialog::recordUpdateInProgress()
{
    UpdateJournal::Record record;
    record.installationDirectory = QFileInfo(workingDirectory).absoluteFilePath();
    record.backupDirectory = backup.backupPath();
    const QDir saved(record.backupDirectory);
    const QStringList files = backup.savedFiles();
    record.files.reserve(files.size());
    for (const QString &file : files)
        record.files.append({file, QFileInfo(saved.filePath(file)).size()});
    recordOptions(record);
    journalWritten = backup.syncToDisk() && UpdateJournal::write(journalFilePath, record);
    return journalWritten;
}

void UpdateDialog::recordOptions(UpdateJournal::Record &record) const
{
    record.applicationPath = applicationPath;
    record.applicationArguments = applicationArguments;
    record.maintenanceToolPath = maintenanceToolPath;
    record.repositoryUrl = repositoryUrl;
    record.expectedVersion = expectedVersion;
}

// Called once the installation is consistent again; a record that cannot be removed keeps its
// backup, so that it never names a missing one.
void UpdateDialog::clearUpdateRecord()
{
    if (journalWritten && !UpdateJournal::remove(journalFilePath))
        backup.keepDirectory();
    else if (ownsLogonEntry)
        removeLogonEntry();
    journalWritten = false;
}

bool UpdateDialog::filesArePresent()
{
    if (QFileInfo::exists(maintenanceToolPath) && QFileInfo::exists(applicationPath))
        return true;
    finishWithError(tr("Не найдены файлы клиента или программы обновления."), false);
    return false;
}

// Decided before the client is asked to exit, as the maintenance tool would decide it once it
// runs: without rights the tool cannot gain, an update would close the client, make a backup and
// start a tool that stops at once, then roll back and start the client, which would offer the
// same update at its next check. A missing installation folder is left to the backup to report.
// An installation that ships its publisher's keys is updated, elevated, only from a repository
// that they signed: a local folder (the client's mirror, which lies in the user's folder and so
// could have been changed by any of the user's programs) is copied where users cannot write, and
// every byte is checked there before the tool reads one. The keys come from the installation,
// which only administrators can write, never from the command line.
bool UpdateDialog::secureRepository()
{
    const QString keysPath = QDir(workingDirectory).filePath(QStringLiteral("release-keys.pub"));
    if (!QFileInfo(keysPath).isFile())
        return true;
    QFile keysFile(keysPath);
    QList<UpdateSignature::PublicKey> keys;
    QString error;
    const QUrl url(repositoryUrl);
    const QString local = url.isLocalFile()                                  ? url.toLocalFile()
            : url.scheme().size() < 2 && QDir::isAbsolutePath(repositoryUrl) ? repositoryUrl
                                                                             : QString();
    const QString copy = temporaryDirectory.filePath(QStringLiteral("verified-repository"));
    if (!keysFile.open(QIODevice::ReadOnly)
        || !UpdateSignature::parsePublicKeys(QString::fromUtf8(keysFile.read(65536)), keys, error))
        error = QStringLiteral("%1: %2").arg(keysPath,
                                             error.isEmpty() ? keysFile.errorString() : error);
    else if (local.isEmpty())
        error = QStringLiteral("%1 is not a local folder; an elevated update installs only a "
                               "verified copy of the client's mirror")
                        .arg(repositoryUrl);
    else if (UpdateMirror::copyVerified(local, copy, keys, error))
        error.clear();
    if (!error.isEmpty()) {
        appendLogLine("Repository not verified: " + error.toUtf8() + '\n');
        finishWithError(tr("Обновление Corvane не подтверждено подписью издателя: %1").arg(error),
                        false);
        return false;
    }
    repositoryUrl = QUrl::fromLocalFile(copy).toString();
    appendLogLine("Repository verified with the installation's keys and copied into "
                  + copy.toUtf8() + '\n');
    return true;
}

bool UpdateDialog::rightsSuffice()
{
    if (!QFileInfo(workingDirectory).isDir())
        return true;
    const UpdateRights::Access access = UpdateRights::access(
            UpdateRights::directoryWritable(workingDirectory),
            UpdateRights::hasAdministratorRights() && !testBuildTokenWithoutAdministrators,
            UpdateRights::elevationAvailable());
    if (access == UpdateRights::Access::Direct)
        return true;
    if (access == UpdateRights::Access::Elevated) {
        startElevation();
        return false;
    }
    appendLog(QByteArrayLiteral("Update not started: the installation folder cannot be written, "
                                "and the helper has no administrator's rights: ")
              + workingDirectory.toUtf8() + '\n');
    finishWithError(rightsMessage(), false);
    return false;
}

// The prompt names the installation's own helper, a file only administrators can replace (the
// one this helper runs from is the kit's per-user copy, which the user can). The run goes on once
// the elevated part is prepared (handOver), or ends in onElevationEnded.
void UpdateDialog::startElevation()
{
    const QString own = QCoreApplication::applicationFilePath();
    const QString installed = HelperCopy::liesInside(own, workingDirectory)
            ? own
            : QDir(workingDirectory).filePath(QFileInfo(own).fileName());
    QFile probe(installed);
    if (!QFileInfo(installed).isFile() || probe.open(QIODevice::ReadWrite)) {
        appendLog(QByteArrayLiteral("Update not started: the installation has no helper of its own "
                                    "that only administrators can change: ")
                  + installed.toUtf8() + '\n');
        finishWithError(rightsMessage(), false);
        return;
    }
    statusLabel->setText(tr("Папку установки Corvane может изменять только администратор. "
                            "Разрешите программе обновления Corvane внести изменения."));
    appendLog(QByteArrayLiteral("Asking for administrator's rights for the installation's own "
                                "helper: ")
              + installed.toUtf8() + '\n');
    // Clean paths: the relay takes no other.
    const UpdateElevation::Request request = {
            QDir::cleanPath(maintenanceToolPath),
            repositoryUrl,
            QDir::cleanPath(applicationPath),
            QDir::cleanPath(QFileInfo(workingDirectory).absoluteFilePath()),
            expectedVersion,
            selfTestArgument,
            temporaryDirectory.filePath(QStringLiteral("elevated-go")),
    };
    QString error;
    if (!elevation.start(installed, request, this, error)) {
        appendLog(QByteArrayLiteral("Administrator's rights not granted: ") + error.toUtf8()
                  + '\n');
        finishWithError(rightsMessage(), false);
        return;
    }
    elevated = true;
}

// The elevated part's log goes into this one, which the user is shown. The client was asked to
// exit only once it was prepared, and it is started again only when the installation was put
// back or updated, here, as the user.
void UpdateDialog::onElevationEnded(const UpdateElevation::Outcome &outcome)
{
    const QByteArray elevatedLog = elevation.elevatedLog();
    if (!elevatedLog.isEmpty()) {
        appendLogLine(QByteArrayLiteral("The elevated part's log:\n"));
        appendLog(elevatedLog);
    }
    if (finished)
        return;
    switch (outcome.kind) {
    case UpdateElevation::Outcome::Kind::Succeeded:
        sessionGuard.release();
        relaunch(tr("Обновление завершено. Запуск Corvane..."),
                 tr("Обновление завершено, но приложение не удалось запустить. "
                    "Запустите Corvane вручную."));
        return;
    case UpdateElevation::Outcome::Kind::Failed:
        finishWithError(outcome.message, outcome.restartApplication);
        return;
    case UpdateElevation::Outcome::Kind::Vanished:
        appendLogLine(QByteArrayLiteral("The elevated part ended without an outcome.\n"));
        finishWithError(tr("Обновление с правами администратора прервалось. Следующее обновление "
                           "Corvane сначала восстановит прежние файлы установки."),
                        false);
        return;
    }
}

QString UpdateDialog::rightsMessage() const
{
    return tr("Для обновления Corvane нужны права администратора: папку установки %1 может "
              "изменять только администратор.")
            .arg(QDir::fromNativeSeparators(QFileInfo(workingDirectory).absoluteFilePath()));
}

// The entry runs this helper again only to undo the update, from a file outside the installation:
// the kit's private copy, or a copy made here when the helper was started from inside. It names
// the installation by its short key and nothing else, the record holds the rest: Windows runs a
// logon command of at most 260 characters, and kept under that, "--recover-only=" with 32 hex
// digits, a space and two quotes leave 209 to the program's path (the whole key would leave 177).
void UpdateDialog::writeLogonEntry()
{
    // A user's logon would start it unelevated, without the elevated part's record.
    if (!elevatedRun.isEmpty())
        return;
    QString program = QCoreApplication::applicationFilePath();
    if (HelperCopy::liesInside(program, workingDirectory)) {
        const QString directory = logonCopyDirectory();
        if (logonCopy.isEmpty() && !directory.isEmpty() && PrivateDirectory::make(directory))
            logonCopy = HelperCopy::make(program, directory);
        program = logonCopy;
    }
    const QStringList arguments
            = {QStringLiteral("--recover-only=") + UpdateJournal::shortKey(logonEntryName)};
    // The update goes on without it: the client, or the user, can still start a helper.
    QString error = QStringLiteral("no copy of the helper outside the installation");
    if (program.isEmpty() || !UpdateLogonEntry::write(logonEntryName, program, arguments, error))
        appendLog(QByteArrayLiteral("Logon entry not written: ") + logonEntryName.toUtf8()
                  + QByteArrayLiteral(" (") + error.toUtf8() + QByteArrayLiteral(")\n"));
}

void UpdateDialog::removeLogonEntry()
{
    // The elevated part writes none, and removes nothing in the user's folders.
    if (!elevatedRun.isEmpty())
        return;
    ownsLogonEntry = false;
    if (!UpdateLogonEntry::remove(logonEntryName))
        appendLog(QByteArrayLiteral("Logon entry not removed: ") + logonEntryName.toUtf8() + '\n');
    // Copies that an entry still starts, or that run, stay for a later helper.
    const QString directory = logonCopyDirectory();
    if (!directory.isEmpty())
        HelperCopy::removeOld(directory);
    logonCopy.clear();
}

void UpdateDialog::endQuietly()
{
    finished = true;
    hide();
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
}

void UpdateDialog::onProcessOutput()
{
    appendLog(process->readAll());
}

void UpdateDialog::onProcessError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    finishWithError(tr("Не удалось запустить maintenancetool.exe: %1").arg(process->errorString()),
                    true);
}

void UpdateDialog::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    appendLog(process->readAll());
    if (finished)
        return;
    waitTimer.restart();
    waitForToolJob(exitCode, exitStatus);
}

// On Windows a maintenance tool that installed a new copy of itself renames its running file,
// moves the new one into place and starts it, detached, to delete the renamed one once the tool
// has ended (IFW's cleanup, about two seconds). That process joins the tool's job and runs the new
// maintenancetool.exe, which can be neither flushed nor overwritten by a rollback meanwhile: the
// run is judged, and the tool run again, the installation flushed or put back, only once the job
// is empty. Let out of the job, the process would hold the file all the same, and outlive a
// helper cut off meanwhile, inside the installation that the next helper restores; ended at once,
// it would leave the renamed old tool behind. What still runs at the limit is ended. On Linux the
// tie sees nothing to wait for.
void UpdateDialog::waitForToolJob(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (toolTie.leftRunning()) {
        if (!reached(waitTimer, ToolJobTimeLimit)) {
            QTimer::singleShot(
                    ToolJobPollInterval, Qt::PreciseTimer, this,
                    [this, exitCode, exitStatus] { waitForToolJob(exitCode, exitStatus); });
            return;
        }
        appendLogLine(QByteArrayLiteral("Processes the maintenance tool started still ran ")
                      + QByteArray::number(ToolJobTimeLimit / 1000)
                      + QByteArrayLiteral(" s after it had exited; ended.\n"));
        toolTie.end(*process);
    } else if (waitTimer.elapsed() >= ToolJobPollInterval) {
        appendLogLine(QByteArrayLiteral("Processes the maintenance tool started ended ")
                      + QByteArray::number(waitTimer.elapsed())
                      + QByteArrayLiteral(" ms after it had exited.\n"));
    }
    judgeToolRun(exitCode, exitStatus);
}

void UpdateDialog::judgeToolRun(int exitCode, QProcess::ExitStatus exitStatus)
{
    const bool normalExit = exitStatus == QProcess::NormalExit;
    if (normalExit && exitCode == EssentialUpdatedExitCode) {
        if (toolRuns >= ToolRunLimit) {
            finishWithError(tr("Maintenance tool после %1 запусков подряд всё ещё просит "
                               "запустить его снова (код 6). Обновление не завершено.")
                                    .arg(ToolRunLimit),
                            true);
            return;
        }
        appendLogLine(QByteArrayLiteral("Maintenance tool exited with code 6 (essential components "
                                        "updated); starting it again: run ")
                      + QByteArray::number(toolRuns + 1) + QByteArrayLiteral(" of at most ")
                      + QByteArray::number(ToolRunLimit) + QByteArrayLiteral(".\n"));
        // Not from inside the process's own signal.
        QTimer::singleShot(0, this, [this] { startTool(); });
        return;
    }
    // A run after an essential one that finds nothing more to do confirms what was installed;
    // the first run's "nothing to do" stays a failure.
    const bool nothingLeft = normalExit && toolRuns > 1 && exitCode == NothingToUpdateExitCode
            && logTail.contains("No updates available.");
    if ((!normalExit || exitCode != 0) && !nothingLeft) {
        if (logTail.contains("stopProcessesForUpdates") && logTail.contains("Update aborted!")) {
            finishWithError(tr("Обновление отменено: осталась работающая копия Kestrova. Закройте "
                               "все окна приложения, включая тестовую версию, и повторите "
                               "обновление."),
                            true);
            return;
        }
        finishWithError(tr("Maintenance tool завершился с кодом %1.").arg(exitCode), true);
        return;
    }

    if (!expectedVersion.isEmpty()
        && !UpdateInstallation::matchesVersion(workingDirectory, expectedVersion)) {
        finishWithError(tr("Установщик завершился, но версия %1 не установлена. Проверьте журнал "
                           "и повторите обновление.")
                                .arg(expectedVersion),
                        true);
        return;
    }

    if (!selfTestArgument.isEmpty()) {
        startSelfTest();
        return;
    }
    completeUpdate();
}

// A release that does not start passes every check above. The new client proves that it starts
// while the backup, the record and the logon entry can still bring the old version back.
void UpdateDialog::startSelfTest()
{
    statusLabel->setText(tr("Проверка запуска новой версии Corvane..."));
    appendLog(QByteArrayLiteral("Self-test started: ") + applicationPath.toUtf8() + ' '
              + selfTestArgument.toUtf8() + '\n');
    selfTest = std::make_unique<UpdateSelfTest>();
    connect(selfTest.get(), &UpdateSelfTest::output, this,
            [this](const QByteArray &bytes) { appendLog(bytes); });
    connect(selfTest.get(), &UpdateSelfTest::judged, this,
            [this](const UpdateSelfTest::Verdict &verdict) {
                appendLogLine(verdict.logLine);
                if (verdict.passed)
                    completeUpdate();
                else
                    finishWithError(verdict.message, true);
            });
    selfTest->start(applicationPath, selfTestArgument, workingDirectory);
}

void UpdateDialog::completeUpdate()
{
    // The update counts as done only once it is on disk: the tool never syncs what it writes,
    // and a power cut would turn the installation into a mixture of both versions once the
    // backup is gone. A file that cannot be flushed keeps the record and the backup, so the next
    // helper puts the old version back before anything else, and the update is made again.
    QString unflushedPath;
    if (backup.syncInstallation(unflushedPath)) {
        clearUpdateRecord();
    } else {
        backup.keepDirectory();
        appendLog(QByteArrayLiteral("Update installed, but not yet safe from a power cut: could "
                                    "not flush ")
                  + unflushedPath.toUtf8()
                  + QByteArrayLiteral(". The update record and the backup stay; the next update "
                                      "restores the backup first: ")
                  + backup.backupPath().toUtf8() + '\n');
    }
    sessionGuard.release();

    relaunch(tr("Обновление завершено. Запуск Corvane..."),
             tr("Обновление завершено, но приложение не удалось запустить. "
                "Запустите Corvane вручную."));
}

void UpdateDialog::relaunch(const QString &status, const QString &startFailure)
{
    finished = true;
    if (!elevatedRun.isEmpty()) {
        logFile.close();
        elevation.finish({UpdateElevation::Outcome::Kind::Succeeded, QString(), false});
        endQuietly();
        return;
    }
    progressBar->setRange(0, 1);
    progressBar->setValue(1);
    statusLabel->setText(status);
    logFile.close();

    if (!QProcess::startDetached(applicationPath, applicationArguments, workingDirectory)) {
        QMessageBox::warning(this, tr("Обновление Corvane"), startFailure, QMessageBox::Ok,
                             QMessageBox::NoButton);
    }
    QTimer::singleShot(QuitDelay, Qt::PreciseTimer, QCoreApplication::instance(),
                       &QCoreApplication::quit);
}

void UpdateDialog::finishWithError(const QString &message, bool restartApplication)
{
    if (finished)
        return;
    finished = true;

    QString fullMessage = message;
    QString restoreError;
    if (backup.restore(restoreError)) {
        clearUpdateRecord();
    } else {
        // The backup and its record stay: the next helper finishes this restore first.
        fullMessage += QLatin1String("\n\n") + restoreError;
        restartApplication = false;
    }
    // Nothing more can be done for the installation now; a box the user may leave open must not
    // hold the shutdown.
    sessionGuard.release();

    if (!handoffFilePath.isEmpty())
        writeHandoff(QByteArrayLiteral("error\n") + fullMessage.toUtf8());

    appendLog('\n' + QByteArrayLiteral("Update error: ") + fullMessage.toUtf8() + '\n');
    if (!elevatedRun.isEmpty()) {
        // The unelevated helper tells the user, and starts the client where that is safe.
        logFile.close();
        elevation.finish({UpdateElevation::Outcome::Kind::Failed, fullMessage, restartApplication});
        endQuietly();
        return;
    }

    progressBar->setRange(0, 1);
    progressBar->setValue(0);
    statusLabel->setText(tr("Не удалось установить обновление."));
    closeButton->setVisible(true);
    logFile.close();

    QMessageBox::critical(this, tr("Ошибка обновления Corvane"),
                          tr("%1\n\nЛог: %2").arg(fullMessage, updateLogPath()), QMessageBox::Ok,
                          QMessageBox::NoButton);

    if (!restartApplication)
        return;
    const RunningProcesses running
            = UpdateProcesses::running(QFileInfo(applicationPath).fileName());
    if (running.windowsError != 0 || !running.processIds.isEmpty())
        return;
    if (!QProcess::startDetached(applicationPath, applicationArguments, workingDirectory))
        statusLabel->setText(tr("Обновление не выполнено. Не удалось повторно запустить клиент."));
}
