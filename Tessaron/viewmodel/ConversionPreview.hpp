#pragma once

#include <cstdint>
#include <vector>

#include <QImage>

namespace tessaron::viewmodel {

// The live picture of a 360° conversion as the window holds it: the
// equirectangular frame and its crops as images small enough to publish,
// and the frame counters.
struct ConversionPreview {
    QImage equirect;
    std::vector<QImage> crops;
    int64_t sourceFrameIndex = 0;
    int64_t extractedFrames = 0;
};

}  // namespace tessaron::viewmodel
