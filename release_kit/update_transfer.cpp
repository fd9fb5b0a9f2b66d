#include "update_transfer.h"

#include "update_network.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

UpdateTransfer::UpdateTransfer(QNetworkAccessManager &manager, QObject *parent)
    : QObject(parent), manager(manager)
{ }

UpdateTransfer::~UpdateTransfer()
{
    abort();
}

void UpdateTransfer::start(const QUrl &source, qint64 from, int stallLimitMs,
                           const QList<QSslCertificate> &caCertificates)
{
    url = source;
    offset = from;
    error.clear();
    status = 0;
    announced = -1;
    fromOffset = headed = permanent = done = false;
    // Reading a FIFO or a device through a file: URL would wait, or read, for ever.
    if (url.isLocalFile() && !QFileInfo(url.toLocalFile()).isFile()) {
        QTimer::singleShot(0, this, [this] {
            error = QStringLiteral("%1 is not a file").arg(url.toLocalFile());
            permanent = true;
            done = true;
            emit finished();
        });
        return;
    }
    QNetworkRequest request = UpdateNetwork::request(url, caCertificates);
    if (offset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
    // Counted from the last byte that moved: a slow line goes on, a silent one ends.
    request.setTransferTimeout(stallLimitMs);
    reply = manager.get(request);
    reply->setReadBufferSize(BufferSize);
    connect(reply, &QNetworkReply::metaDataChanged, this, &UpdateTransfer::onMetaData);
    connect(reply, &QIODevice::readyRead, this, &UpdateTransfer::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &UpdateTransfer::onFinished);
}

void UpdateTransfer::abort()
{
    done = true;
    end();
}

void UpdateTransfer::onMetaData()
{
    if (headed || !reply)
        return;
    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 206) {
        const QByteArray range = reply->rawHeader("Content-Range");
        fromOffset = range.startsWith("bytes " + QByteArray::number(offset) + '-');
        if (!fromOffset)
            return; // a range other than the one asked for: its bytes are not taken
    } else if (status != 200 && status != 0) {
        return; // an error page: its bytes are not the file's
    }
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    announced = length.isValid() ? length.toLongLong() : -1;
    headed = true;
    emit started();
}

void UpdateTransfer::onReadyRead()
{
    if (!reply || !reply->isOpen())
        return;
    if (!headed)
        onMetaData();
    if (!headed || !reply)
        return;
    const QByteArray bytes = reply->readAll();
    if (!bytes.isEmpty())
        emit received(bytes);
}

void UpdateTransfer::onFinished()
{
    if (!reply || done)
        return;
    onReadyRead();
    if (!reply || done)
        return;
    error = UpdateNetwork::replyError(*reply);
    if (error.isEmpty() && !headed)
        error = QStringLiteral("%1 answered bytes other than the range asked for")
                        .arg(url.toDisplayString());
    if (reply->error() == QNetworkReply::OperationCanceledError
        || reply->error() == QNetworkReply::TimeoutError)
        error = QStringLiteral("no byte of %1 came for a while: %2")
                        .arg(url.toDisplayString(), reply->errorString());
    permanent = status == 400 || status == 401 || status == 403 || status == 404 || status == 410
            || reply->error() == QNetworkReply::ProtocolUnknownError
            || (url.isLocalFile() && reply->error() != QNetworkReply::NoError);
    done = true;
    end();
    emit finished();
}

void UpdateTransfer::end()
{
    if (reply) {
        reply->disconnect(this);
        if (!reply->isFinished())
            reply->abort();
        reply->deleteLater();
        reply = nullptr;
    }
}
