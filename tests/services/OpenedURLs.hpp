#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace tessaron::testing {

// Records the URLs the code under test asks the desktop to open, for the
// given schemes, instead of starting a browser, mail program or file manager.
class OpenedURLs : public QObject {
    Q_OBJECT
public:
    explicit OpenedURLs(QStringList schemes = {QStringLiteral("https")});
    ~OpenedURLs() override;
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url);

private:
    QStringList schemes_;
};

}  // namespace tessaron::testing
