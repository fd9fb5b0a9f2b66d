#pragma once

#include <QList>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QSslCertificate;

// How the kit talks to a repository, in one place for every transfer: through the system's proxy
// settings, following at most a few redirects and never from HTTPS to HTTP, with nothing cached.
namespace UpdateNetwork {

constexpr int MaximumRedirects = 5;

// Gives the manager the system's proxy settings for every request (its own factory: the
// application's global proxy setting stays as it is).
void configure(QNetworkAccessManager &manager);

// A GET of url; caCertificates are trusted beside the system's own for HTTPS.
QNetworkRequest request(const QUrl &url, const QList<QSslCertificate> &caCertificates);

// The address of fileName in the repository at `repository`: a URL (https, http, file) or a
// local folder, as the helper's --repository takes it.
QUrl fileUrl(const QString &repository, const QString &fileName);

// What went wrong with a finished reply, or an empty string when nothing did: a network error,
// or an HTTP status other than 200 (and 206, where a range was asked for).
QString replyError(QNetworkReply &reply);

} // namespace UpdateNetwork
