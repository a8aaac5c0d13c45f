#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

#include "services/LatestRelease.hpp"
#include "services/ServiceEndpoints.hpp"

class QNetworkAccessManager;
class QNetworkReply;

namespace tessaron::services {

// One request for the update feed, on a session of its own that keeps no
// cookies and no cache and follows no redirect: a moved feed answers with
// its redirect status, which is no release. Besides Qt's transfer time-out,
// which starts again with every byte, the whole request has a deadline: a
// server sending a byte every few seconds would otherwise hold the check
// for days. Lives on the main thread; Qt reads the network asynchronously
// and calls back there.
class FeedFetch : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 bodyLimit = 65536;
    static constexpr int timeoutMilliseconds = 15000;
    // More than enough for the body limit on any connection that works.
    static constexpr std::chrono::milliseconds standardDeadline{30000};

    struct Result {
        std::optional<LatestRelease> release;
        QString failure;  // why there is none, one short line; empty with a release
    };

    FeedFetch(ServiceEndpoints endpoints, QString currentBuild,
              std::chrono::milliseconds deadline = standardDeadline, QObject* parent = nullptr);
    ~FeedFetch() override;

    // Starts the request; `done` is called exactly once, on the main thread,
    // after the session is gone. The fetch deletes itself afterwards.
    void start(std::function<void(Result)> done);

private:
    void readBody();
    void finishReply();
    QString readFailure() const;
    void complete(Result result);

    ServiceEndpoints endpoints_;
    QString currentBuild_;
    std::function<void(Result)> done_;
    QNetworkAccessManager* session_ = nullptr;
    QPointer<QNetworkReply> reply_;
    QByteArray body_;
    std::chrono::milliseconds deadline_;
    QTimer deadlineTimer_;
    bool completed_ = false;
};

}  // namespace tessaron::services
