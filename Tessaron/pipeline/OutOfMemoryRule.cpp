#include <algorithm>
#include <array>
#include <cctype>

#include "engines/PLYCheck.hpp"
#include "engines/TrevikRunner.hpp"
#include "pipeline/OutOfMemoryRule.hpp"

namespace tessaron::pipeline {

namespace {

std::string lowercased(std::string text) {
    for (char& character : text) character = char(std::tolower(static_cast<unsigned char>(character)));
    return text;
}

}  // namespace

bool OutOfMemoryRule::mentionsOutOfMemory(const std::vector<std::string>& outputLines) {
    static constexpr std::array<const char*, 5> patterns = {"OutOfMemory", "Insufficient Memory", "out of memory",
                                                            "failed to allocate", "std::bad_alloc"};
    const size_t first = outputLines.size() > examinedLineCount ? outputLines.size() - examinedLineCount : 0;
    std::string examined;
    for (size_t index = first; index < outputLines.size(); ++index) {
        if (index > first) examined += '\n';
        examined += outputLines[index];
    }
    examined = lowercased(std::move(examined));
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const char* pattern) { return examined.find(lowercased(pattern)) != std::string::npos; });
}

bool OutOfMemoryRule::isOutOfMemory(const std::exception_ptr& error, const std::vector<std::string>& outputLines) {
    try {
        std::rethrow_exception(error);
    } catch (const engines::PLYCheck::Failure&) {
        // A broken PLY is never a memory problem, whatever the engine said.
        return false;
    } catch (const engines::TrevikRunner::TrevikError& failure) {
        if (failure.signal == 9) return true;
    } catch (const std::exception&) {
    }
    return mentionsOutOfMemory(outputLines);
}

int64_t OutOfMemoryRule::subCellCap(int64_t parentCap) {
    if (parentCap > 199999) return parentCap / 4;
    // Never more than the parent had.
    return std::min<int64_t>(50000, parentCap);
}

}  // namespace tessaron::pipeline
