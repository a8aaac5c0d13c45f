#pragma once

#include "Trainer/SmallMatrix.hpp"

namespace tessaron::trainer {

// The real spherical-harmonic basis up to degree 3 in the sign convention of
// Gaussian PLY files, evaluated at a unit direction. A colour channel is
// 0.5 + Σ Y_k(d) · f_k, clamped at 0.
struct SphericalHarmonics {
    static constexpr float c0 = 0.28209479177387814f;

    static constexpr int coefficientCount(int degree) { return (degree + 1) * (degree + 1); }

    // Y_0 .. Y_{(degree+1)²-1} at the unit direction d.
    static void basis(const Vec3& d, int degree, float* y);

    // Adds Σ_k gY[k] · ∂Y_k/∂d to gd (the gradient with respect to the
    // unnormalised components of the direction, before normalisation).
    static void basisGradient(const Vec3& d, int degree, const float* gY, Vec3& gd);
};

}  // namespace tessaron::trainer
