// main() of the Qt test programs: GoogleTest cases that drive widgets need a
// QApplication for the whole run. Listing the tests (CTest's discovery) needs
// none, so a machine without a display can still list a GL folder.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "support/TempDir.hpp"

// Under LeakSanitizer: the desktop's libraries (D-Bus, fontconfig, Mesa's
// driver, OpenSSL's per-thread state) keep allocations for the life of the process; only leaks of our own
// code should fail a test. Unused in builds without the sanitizer.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\nleak:swrast_dri.so\nleak:libGLX_mesa.so\nleak:libcrypto.so\n";
}

int main(int argc, char** argv)
{
    bool listingOnly = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0)
            listingOnly = true;
    testing::InitGoogleTest(&argc, argv);
    // Without a runtime folder Qt makes one in the temporary folder and
    // leaves it there: the program's own goes when it ends.
    std::optional<tessaron::testing::TempDir> runtime;
    if (!listingOnly && std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        runtime.emplace("qt-runtime");
        ::setenv("XDG_RUNTIME_DIR", runtime->path().c_str(), 1);
    }
    std::unique_ptr<QApplication> application;
    if (!listingOnly) {
        application = std::make_unique<QApplication>(argc, argv);
        // The window's animations off: every change lands at once. A test of
        // an animation turns them on and steps their clock itself.
        QApplication::setEffectEnabled(Qt::UI_General, false);
    }
    return RUN_ALL_TESTS();
}
