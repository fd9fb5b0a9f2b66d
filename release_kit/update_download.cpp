#include "update_download.h"

#include "update_network.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

UpdateDownload::UpdateDownload(QNetworkAccessManager &manager, QObject *parent)
    : QObject(parent), manager(manager)
{
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("%1 was not fetched whole within %2 s")
                     .arg(url.toDisplayString())
                     .arg(deadline.interval() / 1000.0));
    });
}

UpdateDownload::~UpdateDownload()
{
    abort();
}

void UpdateDownload::start(const QUrl &source, qint64 maximumSize, int timeLimitMs,
                           const QList<QSslCertificate> &caCertificates)
{
    url = source;
    cap = maximumSize;
    body.clear();
    error.clear();
    status = 0;
    done = false;
    // Reading a FIFO or a device through a file: URL would wait, or read, for ever.
    if (url.isLocalFile() && !QFileInfo(url.toLocalFile()).isFile()) {
        QTimer::singleShot(0, this, [this] {
            fail(QStringLiteral("%1 is not a file").arg(url.toLocalFile()));
        });
        return;
    }
    reply = manager.get(UpdateNetwork::request(url, caCertificates));
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > cap)
            fail(QStringLiteral("%1 announces %2 bytes, more than the %3 allowed")
                         .arg(url.toDisplayString())
                         .arg(length.toLongLong())
                         .arg(cap));
    });
    connect(reply, &QIODevice::readyRead, this, &UpdateDownload::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &UpdateDownload::onFinished);
    deadline.start(timeLimitMs);
}

void UpdateDownload::abort()
{
    done = true;
    if (error.isEmpty())
        error = QStringLiteral("cancelled");
    end();
}

void UpdateDownload::onReadyRead()
{
    if (!reply)
        return;
    // One byte past the cap is enough to know.
    body += reply->read(cap + 1 - body.size());
    if (body.size() > cap)
        fail(QStringLiteral("%1 is larger than the %2 bytes allowed")
                     .arg(url.toDisplayString())
                     .arg(cap));
}

void UpdateDownload::onFinished()
{
    if (!reply || done)
        return;
    const QString replyError = UpdateNetwork::replyError(*reply);
    if (!replyError.isEmpty()) {
        fail(replyError);
        return;
    }
    onReadyRead();
    if (done)
        return;
    done = true;
    end();
    emit finished();
}

void UpdateDownload::fail(const QString &message)
{
    if (done)
        return;
    done = true;
    error = message;
    body.clear();
    end();
    emit finished();
}

void UpdateDownload::end()
{
    deadline.stop();
    if (reply) {
        reply->disconnect(this);
        if (!reply->isFinished())
            reply->abort();
        reply->deleteLater();
        reply = nullptr;
    }
}
