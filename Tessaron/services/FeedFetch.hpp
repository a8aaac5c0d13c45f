#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

#include "services/LatestRelease.hpp"
#include "services/ServiceEndpoints.hpp"

class QNetworkAccessManager;
class QNetworkReply;

namespace tessaron::services {

// One request for the update feed, on a session of its own that keeps no
// cookies and no cache and follows no redirect: a moved feed answers with
// its redirect status, which is no release. Lives on the main thread; Qt
// reads the network asynchronously and calls back there.
class FeedFetch : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 bodyLimit = 65536;
    static constexpr int timeoutMilliseconds = 15000;

    struct Result {
        std::optional<LatestRelease> release;
        QString failure;  // why there is none, for the harness; empty with a release
    };

    FeedFetch(ServiceEndpoints endpoints, QString currentBuild, QObject* parent = nullptr);
    ~FeedFetch() override;

    // Starts the request; `done` is called exactly once, on the main thread,
    // after the session is gone. The fetch deletes itself afterwards.
    void start(std::function<void(Result)> done);

private:
    void readBody();
    void finishReply();
    void complete(Result result);

    ServiceEndpoints endpoints_;
    QString currentBuild_;
    std::function<void(Result)> done_;
    QNetworkAccessManager* session_ = nullptr;
    QPointer<QNetworkReply> reply_;
    QByteArray body_;
    bool completed_ = false;
};

}  // namespace tessaron::services
