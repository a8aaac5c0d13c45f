#pragma once

#include <QString>

#include <cstdint>
#include <filesystem>

namespace tessaron::views {

// The texts and figures the input form derives from the view model's
// values, in one place so that each rule is written once.
struct InputFormText {
    // Bytes per Gaussian of the exported PLY.
    static constexpr int64_t bytesPerGaussian = 248;

    // A Gaussian cap in short: "2.5M" (".0" removed), "65K", "999".
    static QString capText(int64_t cap);
    // A byte count in decimal units as a file size reads: "248 MB",
    // "12.4 MB", "1.98 GB".
    static QString fileSizeText(uint64_t bytes);
    // "About 1M Gaussians · ≈ 248 MB PLY. Larger = ..."
    static QString modelSizeHint(int64_t cap);
    // The last component of a path, also when it ends in a separator.
    static QString lastPathComponent(const std::filesystem::path& path);
    // "1 image", "240 images (est.)".
    static QString imageCountText(int64_t count, bool estimated);
    // "4032 × 3024".
    static QString resolutionText(int64_t width, int64_t height);
    // "Ready: garden", "Ready: garden (skip COLMAP)".
    static QString readyText(const QString& inputName, bool skipSfM);

    // The machine's physical memory in GiB, which the form calls GB.
    static double memoryGB(uint64_t physicalMemoryBytes);
    // The upper end of the memory-limit slider: max(GB − 3, 4).
    static double memoryLimitMaximum(uint64_t physicalMemoryBytes);
    // Below 15.5 GB the form says what the application is tested on.
    static bool advisesMoreMemory(uint64_t physicalMemoryBytes);
};

}  // namespace tessaron::views
