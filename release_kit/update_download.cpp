#include "update_download.h"

#include "update_transfer.h"

UpdateDownload::UpdateDownload(QNetworkAccessManager &manager, QObject *parent)
    : QObject(parent), transfer(new UpdateTransfer(manager, this))
{
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("%1 was not fetched whole within %2 s")
                     .arg(url.toDisplayString())
                     .arg(deadline.interval() / 1000.0));
    });
    connect(transfer, &UpdateTransfer::started, this, [this] {
        if (transfer->announcedSize() > cap)
            fail(QStringLiteral("%1 announces %2 bytes, more than the %3 allowed")
                         .arg(url.toDisplayString())
                         .arg(transfer->announcedSize())
                         .arg(cap));
    });
    connect(transfer, &UpdateTransfer::received, this, [this](const QByteArray &bytes) {
        // One byte past the cap is enough to know.
        body += bytes.left(cap + 1 - body.size());
        if (body.size() > cap)
            fail(QStringLiteral("%1 is larger than the %2 bytes allowed")
                         .arg(url.toDisplayString())
                         .arg(cap));
    });
    connect(transfer, &UpdateTransfer::finished, this, [this] {
        if (!transfer->succeeded()) {
            fail(transfer->errorString());
            return;
        }
        done = true;
        deadline.stop();
        emit finished();
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
    done = false;
    // The whole limit for the whole file: a trickle ends there as well as a silence.
    transfer->start(url, 0, timeLimitMs, caCertificates);
    deadline.start(timeLimitMs);
}

void UpdateDownload::abort()
{
    done = true;
    if (error.isEmpty())
        error = QStringLiteral("cancelled");
    deadline.stop();
    transfer->abort();
}

int UpdateDownload::httpStatus() const
{
    return transfer->httpStatus();
}

void UpdateDownload::fail(const QString &message)
{
    if (done)
        return;
    done = true;
    error = message;
    body.clear();
    deadline.stop();
    transfer->abort();
    emit finished();
}
