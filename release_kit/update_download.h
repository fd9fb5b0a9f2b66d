#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QSslCertificate;

// One small file fetched into memory (a manifest, its signature): no more than a cap, within a
// time limit, through UpdateNetwork's settings. It moves bytes and knows nothing of what they
// mean. A body larger than the cap fails as soon as its announced length or its bytes pass it,
// and one that never ends fails at the cap or at the time limit, whichever comes first.
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
    // The HTTP status of the answer, 0 while there is none (or for a file: URL).
    int httpStatus() const { return status; }
    const QByteArray &data() const { return body; }
    // What went wrong, in English; empty when the transfer succeeded.
    QString errorString() const { return error; }

signals:
    void finished();

private:
    void onReadyRead();
    void onFinished();
    void fail(const QString &message);
    void end();

    QNetworkAccessManager &manager;
    QPointer<QNetworkReply> reply;
    QTimer deadline;
    QUrl url;
    qint64 cap = 0;
    QByteArray body;
    QString error;
    int status = 0;
    bool done = false;
};
