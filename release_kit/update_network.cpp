#include "update_network.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>

#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslConfiguration>
#endif

namespace {

// The system's settings, asked for each request: on Windows the user's WinINet and WPAD
// settings, elsewhere the http_proxy, https_proxy and no_proxy variables.
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return systemProxyForQuery(query);
    }
};

} // namespace

namespace UpdateNetwork {

void configure(QNetworkAccessManager &manager)
{
    manager.setProxyFactory(new SystemProxyFactory);
    manager.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

QNetworkRequest request(const QUrl &url, const QList<QSslCertificate> &caCertificates)
{
    QNetworkRequest request(url);
    request.setMaximumRedirectsAllowed(MaximumRedirects);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // Compressed bodies would be counted against the caps only once unpacked.
    request.setRawHeader("Accept-Encoding", "identity");
#if QT_CONFIG(ssl)
    if (!caCertificates.isEmpty()) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(caCertificates);
        request.setSslConfiguration(configuration);
    }
#else
    Q_UNUSED(caCertificates);
#endif
    return request;
}

QUrl fileUrl(const QString &repository, const QString &fileName)
{
    QUrl url(repository);
    // A one-letter scheme is a Windows drive ("C:/updates").
    if (!url.isValid() || url.scheme().size() < 2)
        url = QUrl::fromLocalFile(QFileInfo(repository).absoluteFilePath());
    QString path = url.path(QUrl::FullyDecoded);
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + fileName, QUrl::DecodedMode);
    return url;
}

QString replyError(QNetworkReply &reply)
{
    if (reply.error() != QNetworkReply::NoError)
        return reply.errorString();
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return QString();
    const int code = status.toInt();
    const bool ranged = reply.request().hasRawHeader("Range");
    if (code == 200 || (ranged && code == 206))
        return QString();
    return QStringLiteral("%1 answered HTTP %2 %3")
            .arg(reply.url().toDisplayString(), QString::number(code),
                 reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
}

} // namespace UpdateNetwork
