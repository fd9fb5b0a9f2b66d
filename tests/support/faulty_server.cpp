#include "faulty_server.h"

#include <QTcpSocket>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

constexpr int ChunkSize = 65536;
constexpr int TrickleInterval = 100;

} // namespace

bool FaultyServer::listen(Fault chosen)
{
    fault = chosen;
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
        if (!socket->readAll().contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
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
