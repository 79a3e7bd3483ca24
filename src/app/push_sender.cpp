#include "app/push_sender.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <QUrl>
#include <cstdlib>

namespace quillon::Push {
namespace {

// Test-only: QUILLON_PUSH_TIMEOUT_MS shortens the transfer time-out so that the tests can watch a
// silent server time out in a moment. It is not a user setting and never lengthens the time-out.
int timeoutMs(int seconds) {
    const int standard = seconds * 1000;
    if (const char* v = std::getenv("QUILLON_PUSH_TIMEOUT_MS"); v && *v) {
        char* end = nullptr;
        const long ms = std::strtol(v, &end, 10);
        if (*end == '\0' && ms > 0 && ms < standard) return static_cast<int>(ms);
    }
    return standard;
}

// One manager per thread, shared by every push of that thread, as the system's shared session is.
QNetworkAccessManager& manager() {
    static thread_local QPointer<QNetworkAccessManager> shared;
    if (!shared) {
        shared = new QNetworkAccessManager;
        QCoreApplication* app = QCoreApplication::instance();
        if (app && app->thread() == QThread::currentThread())
            shared->setParent(app);
        else
            QObject::connect(QThread::currentThread(), &QThread::finished, shared.data(),
                             &QObject::deleteLater);
    }
    return *shared;
}

std::optional<std::string> outcome(QNetworkReply& reply) {
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) return statusError(status.toInt());
    if (reply.error() == QNetworkReply::NoError) return statusError(0);
    // Qt reports its transfer time-out as a cancelled operation, a misleading sentence for a
    // server that never answered; nothing else cancels a push.
    if (reply.error() == QNetworkReply::OperationCanceledError) return std::string("The request timed out.");
    return reply.errorString().toStdString();
}

} // namespace

void send(const std::string& to, const std::string& title, const std::string& body, Done done) {
    const Target checked = target(to);
    if (!checked.address) {
        if (done) done(checked.error);
        return;
    }
    post(request(*checked.address, title, body), std::move(done));
}

void post(const Request& r, Done done) {
    const QUrl url(QString::fromStdString(r.url), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        if (done) done(std::string("That is not a web address."));
        return;
    }
    QNetworkRequest q(url);
    // A redirect is reported as the answer it is, never followed with the alert's body.
    q.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    q.setTransferTimeout(timeoutMs(r.timeoutSeconds));
    for (const auto& [name, value] : r.headers)
        q.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));

    // A custom verb, because Qt's own POST adds a form content type to ntfy's raw text body.
    QNetworkReply* reply = manager().sendCustomRequest(q, QByteArray::fromStdString(r.method),
                                                       QByteArray::fromStdString(r.body));
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, done = std::move(done)]() {
        reply->deleteLater();
        if (done) done(outcome(*reply));
    });
}

} // namespace quillon::Push
