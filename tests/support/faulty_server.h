#pragma once

#include <QObject>
#include <QString>
#include <QTcpServer>

// A small HTTP server of the tests' own, in the test's process (its sockets are served by the
// test's event loop), for the faults a real server cannot be made to produce. It answers every
// request alike.
class FaultyServer : public QObject
{
public:
    enum class Fault {
        // 200 with no length, then bytes as fast as they go, for ever.
        EndlessBody,
        // 200 with no length, then one byte every 100 ms, for ever.
        Trickle,
    };

    bool listen(Fault fault);
    QString url(const QString &path) const;

private:
    void serve(QTcpSocket *socket);

    QTcpServer server;
    Fault fault = Fault::EndlessBody;
};
