#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QSslCertificate;
class UpdateTransfer;

// One small file fetched into memory (a manifest, its signature): no more than a cap, within a
// time limit, through UpdateTransfer. It moves bytes and knows nothing of what they mean. A body
// larger than the cap fails as soon as its announced length or its bytes pass it, and one that
// never ends fails at the cap or at the time limit, whichever comes first.
class UpdateDownload : public QObject
{
    Q_OBJECT

public:
    explicit UpdateDownload(QNetworkAccessManager &manager, QObject *parent = nullptr);
    ~UpdateDownload() override;

    // Starts the transfer; finished() follows, always later than this call.
    void start(const QUrl &url, qint64 maximumSize, int timeLimitMs,
               const QList<QSslCertificate> &caCertificates);
    // Ends the transfer at once, as failed; finished() is not emitted.
    void abort();

    bool isFinished() const { return done; }
    bool succeeded() const { return done && error.isEmpty(); }
    const QByteArray &data() const { return body; }
    // The HTTP status of the answer, 0 while there is none (or for a file: URL).
    int httpStatus() const;
    // What went wrong, in English; empty when the transfer succeeded.
    QString errorString() const { return error; }

signals:
    void finished();

private:
    void fail(const QString &message);

    UpdateTransfer *transfer;
    QTimer deadline;
    QUrl url;
    qint64 cap = 0;
    QByteArray body;
    QString error;
    bool done = false;
};
