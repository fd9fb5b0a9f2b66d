#pragma once

#include "update_check.h"
#include "update_failure.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QTimer>

#include <memory>

class QNetworkAccessManager;
class UpdateMirror;
class UpdateMirrorFile;
class UpdateTransfer;

struct UpdateFetchSettings
{
    // As the check's: the repository, the client's executable (which names the mirror), and the
    // kit's per-user directory (empty: the default one), where the mirror lies.
    QString repositoryUrl;
    QString applicationPath;
    QString mirrorDirectory;
    QList<QSslCertificate> caCertificates;
    // A transfer that moves no byte for this long is ended and tried again.
    int stallLimitMs = 30000;
    // Tries of one file after a lost connection, a stall or a server error, the pause doubling
    // from the first one up to 30 s between them.
    int attempts = 6;
    int firstRetryDelayMs = 1000;
    // Tries of one file whose bytes are not those the manifest pins.
    int mismatchAttempts = 3;
};

struct UpdateFetchResult
{
    enum class Outcome { Pending, Fetched, Failed };
    Outcome outcome = Outcome::Pending;
    UpdateFailure failure = UpdateFailure::None;
    QString errorString;
    // Fetched: the release's version, and the mirror's folder as a file URL to hand the helper as
    // UpdateHelperSettings::repositoryUrl (with expectedVersion = version).
    QString version;
    QString repositoryUrl;
};

// Copies every file of a release that a check has verified into the installation's private mirror
// (UpdateMirror) while the client runs, so that the client is closed only for the install.
// Streamed to disk and checked against the signed manifest as it arrives; a partial file is kept,
// and the next transfer (after a drop in this run, or at the client's next start) asks for the
// rest with an HTTP range; a server that ignores the range is read from the start. A second fetch
// of the same installation waits for the first and then finds its files. Asynchronous:
// start(), progress() while it works, finished() once.
class UpdateFetch : public QObject
{
    Q_OBJECT

public:
    // `check` is a check that found a newer release (or the installed one: nothing to fetch is a
    // failure too, then).
    UpdateFetch(UpdateFetchSettings settings, const UpdateCheckResult &check,
                QObject *parent = nullptr);
    ~UpdateFetch() override;

    void start();
    // Ends the fetch and keeps what arrived, for the next one; finished() is not emitted.
    void cancel();

    const UpdateFetchResult &result() const { return fetchResult; }
    qint64 bytesReceived() const { return received; }
    qint64 bytesTotal() const { return check.manifest.totalSize(); }

signals:
    // Bytes the mirror holds of all it needs, and the rate of the last seconds in bytes per
    // second; at most ten times a second, and once more at the end.
    void progress(qint64 received, qint64 total, double bytesPerSecond);
    void finished();

private:
    void tryLock();
    void begin();
    void nextFile();
    void onStarted();
    void onReceived(const QByteArray &bytes);
    void onTransferred();
    void mismatch(const QString &error);
    void retryLater(const QString &error);
    void fail(UpdateFailure failure, const QString &error);
    void reportProgress(bool now);

    UpdateFetchSettings settings;
    UpdateCheckResult check;
    UpdateFetchResult fetchResult;
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<UpdateMirror> mirror;
    std::unique_ptr<UpdateMirrorFile> writer;
    UpdateTransfer *transfer = nullptr;
    QList<UpdateManifestFile> queue;
    QTimer lockTimer;
    QTimer retryTimer;
    qint64 received = 0;
    int failures = 0;
    int mismatches = 0;
    QElapsedTimer clock;
    qint64 lastReport = -1;
    // (milliseconds, bytes) of the last seconds, for the rate.
    QList<QPair<qint64, qint64>> samples;
};
