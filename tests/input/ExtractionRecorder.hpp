#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "input/VideoFrameExtractor.hpp"

namespace tessaron::testing {

// Collects what an extraction reports and stops it on demand.
struct ExtractionRecorder {
    std::vector<std::string> lines;
    std::vector<std::pair<std::int64_t, std::int64_t>> progressValues;
    int polls = 0;
    int cancelAtPoll = -1;  // the poll (1-based) that answers "cancelled"

    input::VideoFrameExtractor::Progress progress() {
        input::VideoFrameExtractor::Progress progress;
        progress.onLog = [this](const std::string& line) { lines.push_back(line); };
        progress.onExtractionProgress = [this](std::int64_t frame, std::int64_t total) {
            progressValues.emplace_back(frame, total);
        };
        progress.isCancelled = [this] { return ++polls == cancelAtPoll || (cancelAtPoll > 0 && polls > cancelAtPoll); };
        return progress;
    }

    // Every entry of a folder, sorted; temporary files would show up here.
    static std::vector<std::string> fileNames(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        if (!std::filesystem::exists(folder)) return names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    // frame_000000.jpg … frame_<count − 1>.jpg, each a whole JPEG.
    static void expectCompleteFrames(const std::filesystem::path& folder, std::size_t count) {
        const auto names = fileNames(folder);
        ASSERT_EQ(names.size(), count) << folder;
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(names[i], input::VideoFrameExtractor::frameFileName(std::int64_t(i)));
            EXPECT_FALSE(cv::imread((folder / names[i]).string()).empty()) << names[i];
        }
    }
};

}  // namespace tessaron::testing
