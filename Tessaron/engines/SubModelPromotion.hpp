#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace tessaron::engines {

// Makes sparse/0 the sub-model with the most registered images after a
// COLMAP mapper has split a reconstruction into numbered folders. The former
// sparse/0 is kept beside it as "0_stub_<c>images" (or "..._<k>"). It never
// throws: file problems become "⚠ " lines on the log, and a failed promotion
// puts the former sparse/0 back, so a run never loses the sparse/0 it had.
class SubModelPromotion {
public:
    using Log = std::function<void(const std::string&)>;

    // `sparseFolder` holds sparse/0, sparse/1, ...; each line goes to `onLog`
    // when it is set. Called on the run's thread after the mapper succeeded.
    static void promoteLargestSubModel(const std::filesystem::path& sparseFolder, const Log& onLog);

    // "0_stub_<count>images", or with "_<k>" for the smallest k from 1 whose
    // name is free in `sparseFolder`.
    static std::string stubName(const std::filesystem::path& sparseFolder, int64_t count);
};

}  // namespace tessaron::engines
