#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslServer>
#include <QString>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "support/TempDir.hpp"

namespace tessaron::testing {

// A small HTTPS server on the loopback address for the update check's
// tests, with a certificate for 127.0.0.1 made by openssl at start. Each
// connection carries one request and is closed after the answer. Runs on the
// test's main thread, beside the client.
class LocalHttpsServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        std::map<QByteArray, QByteArray> headers;  // names in lower case
    };
    struct Response {
        int status = 200;
        QByteArray reason = "OK";
        std::map<QByteArray, QByteArray> headers;
        QByteArray body;
        // Above zero: the head at once, then one byte of the body each
        // interval, as a server that holds a client on a string.
        std::chrono::milliseconds trickleInterval{0};
    };

    LocalHttpsServer();
    ~LocalHttpsServer() override;

    // Whether the certificate could be made and the server listens.
    bool isListening() const { return server_.isListening(); }
    quint16 port() const { return server_.serverPort(); }
    QString url(const QString& path) const;
    // The PEM file of the server's self-signed certificate.
    const std::filesystem::path& certificateFile() const { return certificate_; }

    // The answer to every request from now on.
    void respond(Response response) { response_ = std::move(response); }
    const QList<Request>& requests() const { return requests_; }

private:
    void serve(QTcpSocket* socket);

    TempDir folder_{"tessaron-https"};
    std::filesystem::path certificate_;
    QSslServer server_;
    Response response_;
    QList<Request> requests_;
};

}  // namespace tessaron::testing
