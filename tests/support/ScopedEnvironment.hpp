#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaron::testing {

// Sets variables of this process for one test; children inherit them. Each
// gets back the value it had before (the test program's own environment may
// set it), or none.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::initializer_list<std::pair<const char*, std::string>> variables) {
        for (const auto& [name, value] : variables) {
            const char* before = std::getenv(name);
            saved_.push_back({name, before ? std::optional<std::string>(before) : std::nullopt});
            ::setenv(name, value.c_str(), 1);
        }
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            if (const auto& [name, before] = *it; before)
                ::setenv(name.c_str(), before->c_str(), 1);
            else
                ::unsetenv(name.c_str());
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace tessaron::testing
