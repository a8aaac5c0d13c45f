#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaron::trainer {

// The parameters of a set of Gaussians, one array per group so that the
// optimiser can give each group its own learning rate. The same layout holds
// gradients and the optimiser's moments.
//   position   x, y, z
//   logScale   log of the three axis scales
//   rotation   quaternion w, x, y, z (not necessarily of unit length)
//   opacity    logit of the opacity
//   shDC       the degree-0 colour coefficient of r, g, b
//   shRest     coefficients 1..15, each r, g, b
class GaussianModel {
public:
    enum Group { position, logScale, rotation, opacity, shDC, shRest, groupCount };
    static constexpr std::array<size_t, groupCount> widths{3, 3, 4, 1, 3, 45};
    static constexpr int maxShDegree = 3;
    static constexpr size_t shCoefficients = 16;
    // Floats of one Gaussian in a Gaussian PLY record.
    static constexpr size_t plyFloats = 62;

    size_t size() const noexcept { return count_; }
    void resize(size_t count);
    void setZero();
    // Floats of shRest that hold the coefficients up to `shDegree`.
    static constexpr size_t restWidth(int shDegree) { return size_t((shDegree + 1) * (shDegree + 1) - 1) * 3; }

    // Zeroes Gaussian `index`, of its colour only the coefficients up to
    // `shDegree`.
    void setZero(size_t index, int shDegree = maxShDegree);

    float* at(Group group, size_t index) { return data_[group].data() + index * widths[group]; }
    const float* at(Group group, size_t index) const { return data_[group].data() + index * widths[group]; }
    std::vector<float>& values(Group group) { return data_[group]; }
    const std::vector<float>& values(Group group) const { return data_[group]; }

    // Appends a copy of Gaussian `index` of `source` (which may be this model).
    void appendCopy(const GaussianModel& source, size_t index);
    // Keeps the Gaussians whose flag is non-zero, in order.
    void keepOnly(const std::vector<uint8_t>& keep);

    // The record of Gaussian `index` in PLY property order: x y z, three zero
    // normals, f_dc_0..2, f_rest_0..44 (all red, then green, then blue),
    // opacity, scale_0..2, rot_0..3.
    void plyRecord(size_t index, float* out) const;
    // The inverse of plyRecord.
    void setFromPlyRecord(size_t index, const float* record);

private:
    std::array<std::vector<float>, groupCount> data_;
    size_t count_ = 0;
};

}  // namespace tessaron::trainer
