#include "LocalHttpsServer.hpp"

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include <memory>

namespace tessaron::testing {

LocalHttpsServer::LocalHttpsServer() {
    certificate_ = folder_ / "certificate.pem";
    std::filesystem::path key = folder_ / "key.pem";
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                   QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"),
                   QString::fromStdString(key.string()), QStringLiteral("-out"),
                   QString::fromStdString(certificate_.string())});
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
        return;

    QFile keyFile(QString::fromStdString(key.string()));
    if (!keyFile.open(QIODevice::ReadOnly)) return;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(QSslCertificate::fromPath(QString::fromStdString(certificate_.string())));
    tls.setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    server_.setSslConfiguration(tls);
    connect(&server_, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) serve(socket);
    });
    server_.listen(QHostAddress::LocalHost, 0);
}

LocalHttpsServer::~LocalHttpsServer() { server_.close(); }

QString LocalHttpsServer::url(const QString& path) const {
    return QStringLiteral("https://127.0.0.1:%1%2").arg(port()).arg(path);
}

void LocalHttpsServer::serve(QTcpSocket* socket) {
    auto received = std::make_shared<QByteArray>();
    auto answer = [this, socket, received] {
        *received += socket->readAll();
        qsizetype headerEnd = received->indexOf("\r\n\r\n");
        if (headerEnd < 0) return;
        QList<QByteArray> lines = received->left(headerEnd).split('\n');
        Request request;
        QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        for (qsizetype index = 1; index < lines.size(); ++index) {
            qsizetype colon = lines[index].indexOf(':');
            if (colon > 0)
                request.headers[lines[index].left(colon).trimmed().toLower()] = lines[index].mid(colon + 1).trimmed();
        }
        requests_.append(request);
        received->clear();

        QByteArray reply = "HTTP/1.1 " + QByteArray::number(response_.status) + " " + response_.reason + "\r\n";
        for (const auto& [name, value] : response_.headers) reply += name + ": " + value + "\r\n";
        reply += "Content-Length: " + QByteArray::number(response_.body.size()) + "\r\nConnection: close\r\n\r\n";
        if (response_.trickleInterval.count() > 0) {
            socket->write(reply);
            // Owned by the socket: a client that gives up ends the trickle.
            auto* trickle = new QTimer(socket);
            auto sent = std::make_shared<qsizetype>(0);
            QObject::connect(trickle, &QTimer::timeout, socket, [socket, trickle, sent, body = response_.body] {
                if (*sent == body.size()) {
                    trickle->stop();
                    socket->disconnectFromHost();
                    return;
                }
                socket->write(body.mid((*sent)++, 1));
            });
            trickle->start(response_.trickleInterval);
            return;
        }
        reply += response_.body;
        socket->write(reply);
        socket->disconnectFromHost();
    };
    connect(socket, &QTcpSocket::readyRead, this, answer);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->bytesAvailable() > 0) answer();
}

}  // namespace tessaron::testing
