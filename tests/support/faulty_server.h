#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// A small HTTP server of the tests' own, in the test's process (its sockets are served by the
// test's event loop), for the faults a real server cannot be made to produce.
class FaultyServer : public QObject
{
public:
    enum class Fault {
        // 200 with no length, then bytes as fast as they go, for ever.
        EndlessBody,
        // 200 with no length, then one byte every 100 ms, for ever.
        Trickle,
        // Serves the files of a folder, ranges too; the first answer for each file is cut off
        // after half its bytes, the connection closed.
        CutOnce,
        // The same, but the first answer for each file stops after half its bytes and the
        // connection stays open, silent.
        StallOnce,
    };

    // root: the folder that CutOnce and StallOnce serve.
    bool listen(Fault fault, const QString &root = QString());
    QString url(const QString &path) const;
    // Each request as "PATH RANGE" (RANGE the Range header's value, or "-"), in order.
    QList<QByteArray> requests() const { return seen; }

private:
    void serve(QTcpSocket *socket);
    void serveFile(QTcpSocket *socket, const QByteArray &request);

    QTcpServer server;
    Fault fault = Fault::EndlessBody;
    QString root;
    QSet<QByteArray> faulted;
    QList<QByteArray> seen;
};
