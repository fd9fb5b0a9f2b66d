#include "faulty_server.h"

#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

constexpr int ChunkSize = 65536;
constexpr int TrickleInterval = 100;

QByteArray header(const QByteArray &request, const QByteArray &name)
{
    for (const QByteArray &line : request.split('\n')) {
        if (line.toLower().startsWith(name.toLower() + ':'))
            return line.mid(name.size() + 1).trimmed();
    }
    return QByteArray();
}

} // namespace

bool FaultyServer::listen(Fault chosen, const QString &folder)
{
    fault = chosen;
    root = folder;
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            serve(socket);
    });
    return server.listen(QHostAddress::LocalHost, 0);
}

QString FaultyServer::url(const QString &path) const
{
    return u"http://127.0.0.1:%1/%2"_s.arg(server.serverPort()).arg(path);
}

void FaultyServer::serve(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // The answer begins once the request's head has come.
    connect(socket, &QIODevice::readyRead, socket, [this, socket] {
        QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        if (fault == Fault::CutOnce || fault == Fault::StallOnce) {
            serveFile(socket, request);
            return;
        }
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                      "Connection: close\r\n\r\n");
        if (fault == Fault::EndlessBody) {
            const QByteArray chunk(ChunkSize, 'x');
            connect(socket, &QTcpSocket::bytesWritten, socket, [socket, chunk] {
                if (socket->bytesToWrite() < ChunkSize)
                    socket->write(chunk);
            });
            socket->write(chunk);
        } else {
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            timer->start(TrickleInterval);
        }
    });
}

void FaultyServer::serveFile(QTcpSocket *socket, const QByteArray &request)
{
    const QByteArray path = request.split(' ').value(1);
    const QByteArray range = header(request, "Range");
    seen.append(path + ' ' + (range.isEmpty() ? QByteArray("-") : range));
    QFile file(root + QUrl::fromPercentEncoding(path));
    if (!file.open(QIODevice::ReadOnly)) {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    const QByteArray all = file.readAll();
    const QRegularExpressionMatch from
            = QRegularExpression(u"^bytes=(\\d+)-$"_s).match(QString::fromLatin1(range));
    const qsizetype start = from.hasMatch() ? from.captured(1).toLongLong() : 0;
    QByteArray body = all.mid(start);
    QByteArray head = from.hasMatch() ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                    + QByteArray::number(start) + '-' + QByteArray::number(all.size() - 1) + '/'
                    + QByteArray::number(all.size()) + "\r\n"
                                      : QByteArray("HTTP/1.1 200 OK\r\n");
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    const bool first = !faulted.contains(path);
    faulted.insert(path);
    socket->write(head);
    if (!first) {
        socket->write(body);
        socket->disconnectFromHost();
        return;
    }
    socket->write(body.left(body.size() / 2));
    socket->flush();
    if (fault == Fault::CutOnce)
        socket->disconnectFromHost();
}
