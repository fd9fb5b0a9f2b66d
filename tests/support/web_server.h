#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Debian's nginx serving a folder on 127.0.0.1, with a configuration of its own in a folder of
// its own (free ports, no system file read or written): plain HTTP, HTTPS with a certificate of a
// certificate authority made for the run with openssl, and a forward proxy that passes every
// request, whatever host it names, to the HTTP server. Stopped when the object goes.
class WebServer
{
public:
    WebServer() = default;
    ~WebServer();

    // Serves root; rateLimit > 0: each response at most that many bytes per second (nginx's
    // limit_rate), as over a slow line.
    bool start(const QString &root, QString &error, qint64 rateLimit = 0);
    void stop();

    // http://127.0.0.1:PORT/path and https://127.0.0.1:PORT/path. Below /answers-500/ the HTTP
    // server answers every request with 500; below /without-ranges/ it serves the same files as
    // at the top, but ignores ranges (each answer the whole file, 200).
    QString httpUrl(const QString &path) const;
    QString httpsUrl(const QString &path) const;
    // The proxy, for http_proxy; a request through it shows in proxyLog().
    QString proxyUrl() const;
    QByteArray proxyLog() const;
    // The HTTP server's requests, a line each: the path, the Range header in quotes, the status
    // and the bytes of the body sent.
    QByteArray accessLog() const;
    // The test authority's certificate (PEM), which the HTTPS server's certificate chains to.
    QString caCertificatePath() const;

private:
    bool makeCertificates(QString &error);

    QTemporaryDir runtime;
    QProcess nginx;
    int httpPort = 0;
    int httpsPort = 0;
    int proxyPort = 0;
};
