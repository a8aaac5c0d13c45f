#include "services/FeedFetch.hpp"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>

namespace tessaron::services {

namespace {

QString secondsText(std::chrono::milliseconds duration) {
    double value = double(duration.count()) / 1000.0;
    return QString::number(value, 'g', 3) + (value == 1.0 ? QStringLiteral(" second") : QStringLiteral(" seconds"));
}

}  // namespace

FeedFetch::FeedFetch(ServiceEndpoints endpoints, QString currentBuild, std::chrono::milliseconds deadline,
                     QObject* parent)
    : QObject(parent), endpoints_(std::move(endpoints)), currentBuild_(std::move(currentBuild)), deadline_(deadline) {}

FeedFetch::~FeedFetch() {
    // Destroyed with its owner before the answer: nobody is left to call.
    done_ = nullptr;
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

void FeedFetch::start(std::function<void(Result)> done) {
    done_ = std::move(done);
    // A session of its own per request: nothing is shared with, or kept
    // for, another request; the cookie attributes below keep the jar out.
    session_ = new QNetworkAccessManager(this);

    QNetworkRequest request(endpoints_.feedURL);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setTransferTimeout(timeoutMilliseconds);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Tessaron/") + currentBuild_);
    if (!endpoints_.extraCACertificates.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(endpoints_.extraCACertificates);
        request.setSslConfiguration(tls);
    }

    reply_ = session_->get(request);
    deadlineTimer_.setSingleShot(true);
    connect(&deadlineTimer_, &QTimer::timeout, this, [this] {
        complete({std::nullopt, QStringLiteral("the update server did not send the feed within ") + secondsText(deadline_)});
    });
    deadlineTimer_.start(deadline_);
    // Qt buffers no more than the body limit (and one byte to see it passed).
    reply_->setReadBufferSize(bodyLimit + 1);
    connect(reply_, &QNetworkReply::readyRead, this, &FeedFetch::readBody);
    connect(reply_, &QNetworkReply::finished, this, &FeedFetch::finishReply);
}

void FeedFetch::readBody() {
    if (completed_ || !reply_) return;
    int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200) {
        complete({std::nullopt, QStringLiteral("the update server answered with status %1").arg(status)});
        return;
    }
    // Never buffer more than one byte past the limit.
    body_ += reply_->read(bodyLimit + 1 - body_.size());
    if (body_.size() > bodyLimit)
        complete({std::nullopt, QStringLiteral("the update server sent more than %1 bytes").arg(bodyLimit)});
}

void FeedFetch::finishReply() {
    if (completed_ || !reply_) return;
    int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply_->error() != QNetworkReply::NoError && status == 0) {
        complete({std::nullopt, readFailure()});
        return;
    }
    if (status != 200) {
        complete({std::nullopt, QStringLiteral("the update server answered with status %1").arg(status)});
        return;
    }
    readBody();
    if (completed_) return;
    if (reply_->error() != QNetworkReply::NoError) {
        complete({std::nullopt, readFailure()});
        return;
    }
    try {
        complete({LatestRelease::decode(body_), {}});
    } catch (const LatestRelease::DecodeError& error) {
        complete({std::nullopt, QString::fromStdString(error.what())});
    }
}

QString FeedFetch::readFailure() const {
    // Qt ends a transfer that stalls past its time-out as cancelled.
    if (reply_->error() == QNetworkReply::OperationCanceledError)
        return QStringLiteral("the update server did not answer within ") +
               secondsText(std::chrono::milliseconds(timeoutMilliseconds));
    return QStringLiteral("the update server couldn't be reached: ") + reply_->errorString();
}

void FeedFetch::complete(Result result) {
    completed_ = true;
    deadlineTimer_.stop();
    // The session ends with the request, on every path.
    if (reply_) {
        reply_->disconnect(this);
        // A reply that already carries an error is ending on its own; the
        // deletion below closes its connection.
        if (reply_->isRunning() && reply_->error() == QNetworkReply::NoError) reply_->abort();
        reply_->deleteLater();
    }
    session_->deleteLater();
    session_ = nullptr;
    auto done = std::move(done_);
    deleteLater();
    if (done) done(std::move(result));
}

}  // namespace tessaron::services
