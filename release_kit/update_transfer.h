#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QSslCertificate;

// One GET of a (possibly large) file, its bytes handed on as they arrive, so that memory stays
// flat whatever the size: from an offset with an HTTP range when asked, ended when no byte has
// come for the stall limit. It moves bytes and knows nothing of what they must be; the receiver
// may end it at any moment.
class UpdateTransfer : public QObject
{
    Q_OBJECT

public:
    // The most the transfer holds before the receiver has taken it.
    static constexpr qint64 BufferSize = 262144;

    explicit UpdateTransfer(QNetworkAccessManager &manager, QObject *parent = nullptr);
    ~UpdateTransfer() override;

    // offset > 0 asks for the bytes from there on ("Range: bytes=offset-"). finished() follows,
    // always later than this call.
    void start(const QUrl &url, qint64 offset, int stallLimitMs,
               const QList<QSslCertificate> &caCertificates);
    // Ends it at once; finished() is not emitted.
    void abort();

    // Once the answer's head has come: whether its bytes start at the offset asked for (206 with
    // that range), or at the file's start (200: a server that ignores ranges, or offset 0).
    bool resumed() const { return fromOffset; }
    // The length of the body the answer announces, -1 when it names none.
    qint64 announcedSize() const { return announced; }
    bool succeeded() const { return done && error.isEmpty(); }
    int httpStatus() const { return status; }
    // Empty when the transfer ended well (every byte came).
    QString errorString() const { return error; }
    // True when the failure is one that trying again cannot mend (404, 403, 410, a URL the
    // manager cannot fetch).
    bool isPermanent() const { return permanent; }

signals:
    // The answer's head: from here on bytes come; resumed() says where they start.
    void started();
    void received(const QByteArray &bytes);
    void finished();

private:
    void onMetaData();
    void onReadyRead();
    void onFinished();
    void end();

    QNetworkAccessManager &manager;
    QPointer<QNetworkReply> reply;
    QUrl url;
    qint64 offset = 0;
    qint64 announced = -1;
    QString error;
    int status = 0;
    bool fromOffset = false;
    bool headed = false;
    bool permanent = false;
    bool done = false;
};
