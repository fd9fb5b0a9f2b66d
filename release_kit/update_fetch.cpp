#include "update_fetch.h"

#include "update_mirror.h"
#include "update_network.h"
#include "update_transfer.h"

#include <QNetworkAccessManager>

namespace {

constexpr int LockPollInterval = 250;
constexpr int LongestRetryDelay = 30000;
constexpr qint64 ProgressInterval = 100;
constexpr qint64 RateWindow = 3000;

} // namespace

UpdateFetch::UpdateFetch(UpdateFetchSettings settings, const UpdateCheckResult &check,
                         QObject *parent)
    : QObject(parent), settings(std::move(settings)), check(check)
{
    lockTimer.setInterval(LockPollInterval);
    connect(&lockTimer, &QTimer::timeout, this, &UpdateFetch::tryLock);
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &UpdateFetch::nextFile);
}

UpdateFetch::~UpdateFetch()
{
    cancel();
}

void UpdateFetch::start()
{
    if (manager)
        return;
    manager = std::make_unique<QNetworkAccessManager>();
    UpdateNetwork::configure(*manager);
    mirror = std::make_unique<UpdateMirror>(settings.applicationPath, settings.mirrorDirectory);
    clock.start();
    if (check.outcome != UpdateCheckResult::Outcome::NewerRelease) {
        QTimer::singleShot(0, this, [this] {
            fail(UpdateFailure::Malformed,
                 QStringLiteral("There is no verified newer release to fetch."));
        });
        return;
    }
    QTimer::singleShot(0, this, &UpdateFetch::tryLock);
}

void UpdateFetch::cancel()
{
    lockTimer.stop();
    retryTimer.stop();
    if (transfer)
        transfer->abort();
    writer.reset();
    if (mirror)
        mirror->unlock();
    if (fetchResult.outcome == UpdateFetchResult::Outcome::Pending && manager) {
        fetchResult.outcome = UpdateFetchResult::Outcome::Failed;
        fetchResult.failure = UpdateFailure::Network;
        fetchResult.errorString = QStringLiteral("The fetch was cancelled.");
    }
}

void UpdateFetch::tryLock()
{
    QString error;
    if (!mirror->lock(error)) {
        // Another copy of the client fills the same mirror: its files are this fetch's too.
        if (error.startsWith(QLatin1String("Another copy"))) {
            lockTimer.start();
            return;
        }
        fail(UpdateFailure::Storage, error);
        return;
    }
    lockTimer.stop();
    begin();
}

void UpdateFetch::begin()
{
    QString error;
    if (!mirror->adopt(check.manifest, check.manifestBytes, check.signatureBytes, error)) {
        fail(UpdateFailure::Storage, error);
        return;
    }
    for (const UpdateManifestFile &file : std::as_const(check.manifest.files)) {
        if (mirror->holds(file)) {
            received += file.size;
        } else {
            queue.append(file);
            received += mirror->partialSize(file);
        }
    }
    transfer = new UpdateTransfer(*manager, this);
    connect(transfer, &UpdateTransfer::started, this, &UpdateFetch::onStarted);
    connect(transfer, &UpdateTransfer::received, this, &UpdateFetch::onReceived);
    connect(transfer, &UpdateTransfer::finished, this, &UpdateFetch::onTransferred);
    reportProgress(true);
    nextFile();
}

void UpdateFetch::nextFile()
{
    if (queue.isEmpty()) {
        // Handed over only when every file is there, whole and as signed, read once more.
        if (!mirror->isComplete()) {
            fail(UpdateFailure::Storage,
                 QStringLiteral("The mirror %1 lost a file while it was filled.")
                         .arg(mirror->path()));
            return;
        }
        mirror->unlock();
        fetchResult.outcome = UpdateFetchResult::Outcome::Fetched;
        fetchResult.version = check.version;
        fetchResult.repositoryUrl = mirror->repositoryUrl();
        reportProgress(true);
        emit finished();
        return;
    }
    writer = std::make_unique<UpdateMirrorFile>(*mirror, queue.constFirst());
    QString error;
    const qint64 before = mirror->partialSize(queue.constFirst());
    if (writer->open(false, error) != UpdateMirrorFile::Result::Ok) {
        fail(UpdateFailure::Storage, error);
        return;
    }
    received -= before - writer->offset();
    transfer->start(UpdateNetwork::fileUrl(settings.repositoryUrl, queue.constFirst().path),
                    writer->offset(), settings.stallLimitMs, settings.caCertificates);
}

void UpdateFetch::onStarted()
{
    if (transfer->resumed() || writer->offset() == 0)
        return;
    // A server that ignores the range sends the whole file again: it is read from the start.
    received -= writer->offset();
    QString error;
    if (writer->open(true, error) != UpdateMirrorFile::Result::Ok) {
        transfer->abort();
        fail(UpdateFailure::Storage, error);
    }
}

void UpdateFetch::onReceived(const QByteArray &bytes)
{
    QString error;
    const qint64 before = writer->offset();
    switch (writer->append(bytes, error)) {
    case UpdateMirrorFile::Result::Ok:
        received += bytes.size();
        reportProgress(false);
        return;
    case UpdateMirrorFile::Result::Mismatch:
        // More bytes than the manifest lists: this transfer stops at once.
        transfer->abort();
        received -= before;
        mismatch(error);
        return;
    case UpdateMirrorFile::Result::StorageError:
        transfer->abort();
        fail(UpdateFailure::Storage, error);
        return;
    }
}

void UpdateFetch::onTransferred()
{
    QString error;
    if (transfer->succeeded()) {
        const qint64 size = writer->offset();
        switch (writer->finish(error)) {
        case UpdateMirrorFile::Result::Ok:
            queue.removeFirst();
            failures = mismatches = 0;
            nextFile();
            return;
        case UpdateMirrorFile::Result::Mismatch:
            received -= size;
            mismatch(error);
            return;
        case UpdateMirrorFile::Result::StorageError:
            fail(UpdateFailure::Storage, error);
            return;
        }
    }
    // The partial file goes on at its end, unless the server says that end is past the file's.
    if (transfer->httpStatus() == 416) {
        received -= writer->offset();
        writer->discard();
    }
    if (transfer->isPermanent()) {
        fail(UpdateFailure::Network,
             QStringLiteral("%1 cannot be fetched: %2.")
                     .arg(queue.constFirst().path, transfer->errorString()));
        return;
    }
    retryLater(transfer->errorString());
}

void UpdateFetch::mismatch(const QString &error)
{
    if (++mismatches >= settings.mismatchAttempts) {
        fail(UpdateFailure::Untrusted,
             QStringLiteral("%1, %2 times: the repository does not serve the signed release.")
                     .arg(error)
                     .arg(mismatches));
        return;
    }
    nextFile();
}

void UpdateFetch::retryLater(const QString &error)
{
    if (++failures >= settings.attempts) {
        fail(UpdateFailure::Network,
             QStringLiteral("%1 cannot be fetched after %2 tries: %3.")
                     .arg(queue.constFirst().path)
                     .arg(failures)
                     .arg(error));
        return;
    }
    const qint64 delay
            = qMin<qint64>(qint64(settings.firstRetryDelayMs) << (failures - 1), LongestRetryDelay);
    retryTimer.start(int(delay));
}

void UpdateFetch::fail(UpdateFailure failure, const QString &error)
{
    if (fetchResult.outcome != UpdateFetchResult::Outcome::Pending)
        return;
    lockTimer.stop();
    retryTimer.stop();
    writer.reset();
    if (mirror)
        mirror->unlock();
    fetchResult.outcome = UpdateFetchResult::Outcome::Failed;
    fetchResult.failure = failure;
    fetchResult.errorString = error;
    emit finished();
}

void UpdateFetch::reportProgress(bool now)
{
    const qint64 elapsed = clock.elapsed();
    if (!now && lastReport >= 0 && elapsed - lastReport < ProgressInterval)
        return;
    lastReport = elapsed;
    samples.append({elapsed, received});
    while (samples.size() > 2 && elapsed - samples.at(1).first > RateWindow)
        samples.removeFirst();
    const qint64 span = elapsed - samples.constFirst().first;
    const double rate = span > 0
            ? double(received - samples.constFirst().second) * 1000.0 / double(span)
            : 0.0;
    emit progress(received, bytesTotal(), qMax(0.0, rate));
}
