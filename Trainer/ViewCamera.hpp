#pragma once

#include "Trainer/SmallMatrix.hpp"

namespace tessaron::trainer {

// A pinhole camera as the renderer uses it: x_cam = rotation · x + translation,
// looking along +z, pixel = (fx · x/z + cx, fy · y/z + cy), the centre of
// pixel (i, j) at (i + 0.5, j + 0.5).
struct ViewCamera {
    int width = 0;
    int height = 0;
    float fx = 1, fy = 1, cx = 0, cy = 0;
    Mat3 rotation{1, 0, 0, 0, 1, 0, 0, 0, 1};
    Vec3 translation{0, 0, 0};

    // The camera's position in the world: -rotationᵀ · translation.
    Vec3 centre() const {
        Vec3 c = multiplyTransposed(rotation, translation);
        return {-c[0], -c[1], -c[2]};
    }
};

}  // namespace tessaron::trainer
