// Tessaron: the desktop application. It takes no command-line arguments.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "app/TessaronApp.hpp"
#include "views/Motion.hpp"
#include "views/Theme.hpp"

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

int main(int argc, char** argv) {
    // Without a display Qt would abort with several lines of its own; one
    // line that says what is missing serves the user better.
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM")) {
        std::fputs("Tessaron needs a graphical display: neither DISPLAY nor WAYLAND_DISPLAY is set.\n", stderr);
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaron"));
    QApplication::setOrganizationName(QStringLiteral("Tessaron"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tessaron"));
    QApplication::setFont(tessaron::views::theme::font(tessaron::views::theme::TextStyle::body));
    // The panels' springs and fades; Qt leaves them off on most desktops.
    tessaron::views::Motion::setEnabled(true);
    try {
        tessaron::app::TessaronApp tessaron;
        tessaron.launch();
        return QApplication::exec();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Tessaron: %s\n", error.what());
        return 1;
    }
}
