#include "support/DecimalCommaLocale.hpp"

#include <clocale>
#include <cstdlib>
#include <filesystem>

namespace tessaron::testing {

bool useDecimalCommaLocale(const TempDir& folder) {
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) return true;
    const std::filesystem::path localeFolder = folder / "comma.UTF-8";
    if (!std::filesystem::exists(localeFolder)) {
        writeTextFile(folder / "comma.src",
                      "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"<U002E>\"\n"
                      "grouping 3;3\nEND LC_NUMERIC\n");
        std::string command = "localedef -c -i " + (folder / "comma.src").string() + " -f UTF-8 " +
                              localeFolder.string() + " >/dev/null 2>&1";
        [[maybe_unused]] int status = std::system(command.c_str());  // warns about the categories left out
    }
    ::setenv("LOCPATH", folder.path().c_str(), 1);
    bool set = std::setlocale(LC_NUMERIC, "comma.UTF-8") != nullptr;
    ::unsetenv("LOCPATH");
    return set;
}

}  // namespace tessaron::testing
