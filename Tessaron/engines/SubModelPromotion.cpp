#include "engines/SubModelPromotion.hpp"

#include <algorithm>
#include <vector>

#include "colmap/COLMAPUtils.hpp"
#include "core/TextDecoding.hpp"

namespace tessaron::engines {

namespace {

struct Candidate {
    std::filesystem::path url;
    int64_t n = 0;
    int64_t count = 0;
};

// The number of registered images, or 0 when any of the three files fails
// to parse.
int64_t registeredImageCount(const std::filesystem::path& folder) {
    try {
        colmap::COLMAPUtils::readCameras(folder / "cameras.bin");
        colmap::ImageMap images = colmap::COLMAPUtils::readImages(folder / "images.bin");
        colmap::COLMAPUtils::readPoints3D(folder / "points3D.bin");
        return int64_t(images.size());
    } catch (const std::exception&) {
        return 0;  // such a sub-model is still a candidate, with no images
    }
}

// Anything at the path, a dangling link included.
bool entryExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

}  // namespace

std::string SubModelPromotion::stubName(const std::filesystem::path& sparseFolder, int64_t count) {
    std::string base = "0_stub_" + std::to_string(count) + "images";
    if (!entryExists(sparseFolder / base)) return base;
    for (int64_t suffix = 1;; ++suffix) {
        std::string name = base + "_" + std::to_string(suffix);
        if (!entryExists(sparseFolder / name)) return name;
    }
}

void SubModelPromotion::promoteLargestSubModel(const std::filesystem::path& sparseFolder, const Log& onLog) {
    auto log = [&](const std::string& line) {
        if (onLog) onLog(line);
    };

    std::vector<Candidate> candidates;
    std::error_code listError;
    std::filesystem::directory_iterator entries(sparseFolder, listError);
    if (listError) return;
    for (; entries != std::filesystem::directory_iterator(); entries.increment(listError)) {
        if (listError) return;
        std::string name = entries->path().filename().string();
        if (name.empty()) continue;
        std::optional<int64_t> number = core::parseDecimalInteger(name);
        if (!number) continue;
        std::error_code statusError;
        if (!std::filesystem::is_directory(entries->path(), statusError)) continue;
        candidates.push_back({entries->path(), *number, registeredImageCount(entries->path())});
    }
    if (candidates.size() < 2) return;

    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.count != b.count ? a.count > b.count : a.n < b.n;
    });
    const Candidate& best = candidates.front();
    std::string found = "Sub-model selection: " + std::to_string(candidates.size()) + " sub-models found; ";
    if (best.n == 0) {
        log(found + "sparse/0 is already the largest (" + std::to_string(best.count) + " images).");
        return;
    }

    const std::filesystem::path zero = sparseFolder / "0";
    std::optional<std::filesystem::path> stub;
    if (entryExists(zero)) {
        auto former = std::find_if(candidates.begin(), candidates.end(), [](const Candidate& c) { return c.n == 0; });
        int64_t formerCount = former == candidates.end() ? 0 : former->count;
        std::filesystem::path stubPath = sparseFolder / stubName(sparseFolder, formerCount);
        std::error_code moveError;
        std::filesystem::rename(zero, stubPath, moveError);
        if (moveError) {
            log("⚠ Sub-model selection: could not rename existing sparse/0 (" + moveError.message() +
                "). Leaving the model as-is.");
            return;
        }
        stub = stubPath;
    }

    std::error_code promoteError;
    std::filesystem::rename(best.url, zero, promoteError);
    if (promoteError) {
        log("⚠ Sub-model selection: could not promote sparse/" + std::to_string(best.n) + " to sparse/0 (" +
            promoteError.message() + ").");
        // The rest of the pipeline reads sparse/0: put the former one back.
        if (stub) {
            std::error_code restoreError;
            std::filesystem::rename(*stub, zero, restoreError);
            if (restoreError)
                log("⚠ Sub-model selection: could not restore sparse/0 from " + stub->filename().string() + " (" +
                    restoreError.message() + ").");
            else
                log("⚠ Sub-model selection: restored the former sparse/0 from " + stub->filename().string() + ".");
        }
        return;
    }
    log(found + "promoted sparse/" + std::to_string(best.n) + " (" + std::to_string(best.count) +
        " images) to sparse/0.");
}

}  // namespace tessaron::engines
