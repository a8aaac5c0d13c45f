#include "OpenedURLs.hpp"

#include <QDesktopServices>

namespace tessaron::testing {

OpenedURLs::OpenedURLs(QStringList schemes) : schemes_(std::move(schemes)) {
    for (const QString& scheme : schemes_) QDesktopServices::setUrlHandler(scheme, this, "open");
}

OpenedURLs::~OpenedURLs() {
    for (const QString& scheme : schemes_) QDesktopServices::unsetUrlHandler(scheme);
}

void OpenedURLs::open(const QUrl& url) { urls.append(url); }

}  // namespace tessaron::testing
