#include "web_server.h"

#include "helper_runner.h"
#include "test_files.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

// Ports the system has just handed out as free. nginx binds them a moment later; should another
// program take one meanwhile, nginx fails to start and start() tries again with new ones.
QList<int> freePorts(int count)
{
    QList<QTcpServer *> servers;
    QList<int> ports;
    for (int i = 0; i < count; ++i) {
        auto *server = new QTcpServer;
        server->listen(QHostAddress::LocalHost, 0);
        ports.append(server->serverPort());
        servers.append(server);
    }
    qDeleteAll(servers);
    return ports;
}

bool accepts(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket.waitForConnected(200);
}

} // namespace

WebServer::~WebServer()
{
    stop();
}

bool WebServer::makeCertificates(QString &error)
{
    const QString dir = runtime.path();
    const QString extensions = u"subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                               "basicConstraints=critical,CA:FALSE\n"
                               "keyUsage=critical,digitalSignature,keyEncipherment\n"
                               "extendedKeyUsage=serverAuth\n"_s;
    return writeFile(dir + u"/server.ext"_s, extensions.toLatin1())
            && runProgram(u"openssl"_s,
                          {u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s,
                           u"-days"_s, u"3"_s, u"-subj"_s, u"/CN=Corvane test authority"_s,
                           u"-addext"_s, u"basicConstraints=critical,CA:TRUE"_s, u"-addext"_s,
                           u"keyUsage=critical,keyCertSign,cRLSign"_s, u"-keyout"_s, u"ca.key"_s,
                           u"-out"_s, u"ca.pem"_s},
                          error, dir)
            && runProgram(u"openssl"_s,
                          {u"req"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-subj"_s,
                           u"/CN=127.0.0.1"_s, u"-keyout"_s, u"server.key"_s, u"-out"_s,
                           u"server.csr"_s},
                          error, dir)
            && runProgram(u"openssl"_s,
                          {u"x509"_s, u"-req"_s, u"-in"_s, u"server.csr"_s, u"-CA"_s, u"ca.pem"_s,
                           u"-CAkey"_s, u"ca.key"_s, u"-CAcreateserial"_s, u"-days"_s, u"2"_s,
                           u"-extfile"_s, u"server.ext"_s, u"-out"_s, u"server.pem"_s},
                          error, dir);
}

bool WebServer::start(const QString &root, QString &error, qint64 rateLimit)
{
    error = u"not installed: "_s + missingPrograms({u"nginx"_s, u"openssl"_s});
    if (!error.endsWith(u": "_s))
        return false;
    if (!runtime.isValid() || !makeCertificates(error))
        return false;
    const QString dir = runtime.path();
    const QString limit = rateLimit > 0 ? u"limit_rate %1;"_s.arg(rateLimit) : QString();
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QList<int> ports = freePorts(3);
        httpPort = ports.at(0);
        httpsPort = ports.at(1);
        proxyPort = ports.at(2);
        // One process, in the foreground; every path it would write is in the runtime folder.
        const QString configuration = uR"(daemon off;
master_process off;
worker_processes 1;
pid %1/nginx.pid;
error_log %1/error.log info;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path %1/body;
    proxy_temp_path %1/proxy;
    fastcgi_temp_path %1/fastcgi;
    uwsgi_temp_path %1/uwsgi;
    scgi_temp_path %1/scgi;
    default_type application/octet-stream;
    sendfile on;
    log_format ranges '$request_uri "$http_range" $status $body_bytes_sent';
    server {
        listen 127.0.0.1:%2;
        access_log %1/access.log ranges;
        root "%5";
        %6
        location /answers-500/ { return 500; }
        location /without-ranges/ { alias "%5/"; max_ranges 0; %6 }
    }
    server {
        listen 127.0.0.1:%3 ssl;
        ssl_certificate %1/server.pem;
        ssl_certificate_key %1/server.key;
        root "%5";
        %6
    }
    server {
        listen 127.0.0.1:%4;
        access_log %1/proxy.log;
        location / { proxy_pass http://127.0.0.1:%2; }
    }
}
)"_s.arg(dir)
                                              .arg(httpPort)
                                              .arg(httpsPort)
                                              .arg(proxyPort)
                                              .arg(QDir(root).absolutePath(), limit);
        if (!writeFile(dir + u"/nginx.conf"_s, configuration.toUtf8()))
            break;
        nginx.setProcessChannelMode(QProcess::MergedChannels);
        nginx.start(
                u"nginx"_s,
                {u"-p"_s, dir, u"-c"_s, dir + u"/nginx.conf"_s, u"-e"_s, dir + u"/error.log"_s});
        nginx.waitForStarted(10000);
        const QDeadlineTimer deadline(10000);
        while (nginx.state() == QProcess::Running && !deadline.hasExpired()
               && !(accepts(httpPort) && accepts(httpsPort) && accepts(proxyPort)))
            QThread::msleep(20);
        if (nginx.state() == QProcess::Running && !deadline.hasExpired())
            return true;
        stop();
        error = u"nginx did not start: "_s + QString::fromLocal8Bit(nginx.readAll())
                + QString::fromUtf8(readFile(dir + u"/error.log"_s));
    }
    return false;
}

void WebServer::stop()
{
    if (nginx.state() != QProcess::NotRunning) {
        nginx.terminate();
        if (!nginx.waitForFinished(5000)) {
            nginx.kill();
            nginx.waitForFinished(5000);
        }
    }
}

QString WebServer::httpUrl(const QString &path) const
{
    return u"http://127.0.0.1:%1/%2"_s.arg(httpPort).arg(path);
}

QString WebServer::httpsUrl(const QString &path) const
{
    return u"https://127.0.0.1:%1/%2"_s.arg(httpsPort).arg(path);
}

QString WebServer::proxyUrl() const
{
    return u"http://127.0.0.1:%1"_s.arg(proxyPort);
}

QByteArray WebServer::accessLog() const
{
    return readFile(runtime.filePath(u"access.log"_s));
}

QByteArray WebServer::proxyLog() const
{
    return readFile(runtime.filePath(u"proxy.log"_s));
}

QString WebServer::caCertificatePath() const
{
    return runtime.filePath(u"ca.pem"_s);
}
