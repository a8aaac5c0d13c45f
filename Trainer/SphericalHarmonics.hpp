#pragma once

#include "Trainer/SmallMatrix.hpp"

namespace tessaron::trainer {

// The real spherical-harmonic basis up to degree 3 in the sign convention of
// Gaussian PLY files, evaluated at a unit direction. A colour channel is
// 0.5 + Σ Y_k(d) · f_k, clamped at 0. F is float, or lanes::Floats for eight
// directions at once.
struct SphericalHarmonics {
    static constexpr float c0 = 0.28209479177387814f;
    static constexpr float c1 = 0.4886025119029199f;
    static constexpr float c2[5] = {1.0925484305920792f, -1.0925484305920792f, 0.31539156525252005f,
                                    -1.0925484305920792f, 0.5462742152960396f};
    static constexpr float c3[7] = {-0.5900435899266435f, 2.890611442640554f,  -0.4570457994644658f,
                                    0.3731763325901154f,  -0.4570457994644658f, 1.445305721320277f,
                                    -0.5900435899266435f};

    static constexpr int coefficientCount(int degree) { return (degree + 1) * (degree + 1); }

    // Y_0 .. Y_{(degree+1)²-1} at the unit direction d.
    template <typename F>
    static void basis(const Vec3Of<F>& d, int degree, F* y);

    // Adds Σ_k gY[k] · ∂Y_k/∂d to gd (the gradient with respect to the
    // unnormalised components of the direction, before normalisation).
    template <typename F>
    static void basisGradient(const Vec3Of<F>& d, int degree, const F* gY, Vec3Of<F>& gd);
};

template <typename F>
inline __attribute__((always_inline)) void SphericalHarmonics::basis(const Vec3Of<F>& d, int degree, F* y) {
    y[0] = lanes::splat<F>(c0);
    if (degree < 1) return;
    const F x = d[0], yy = d[1], z = d[2];
    y[1] = -c1 * yy;
    y[2] = c1 * z;
    y[3] = -c1 * x;
    if (degree < 2) return;
    const F xx = x * x, y2 = yy * yy, zz = z * z;
    y[4] = c2[0] * x * yy;
    y[5] = c2[1] * yy * z;
    y[6] = c2[2] * (2.0f * zz - xx - y2);
    y[7] = c2[3] * x * z;
    y[8] = c2[4] * (xx - y2);
    if (degree < 3) return;
    y[9] = c3[0] * yy * (3.0f * xx - y2);
    y[10] = c3[1] * x * yy * z;
    y[11] = c3[2] * yy * (4.0f * zz - xx - y2);
    y[12] = c3[3] * z * (2.0f * zz - 3.0f * xx - 3.0f * y2);
    y[13] = c3[4] * x * (4.0f * zz - xx - y2);
    y[14] = c3[5] * z * (xx - y2);
    y[15] = c3[6] * x * (xx - 3.0f * y2);
}

template <typename F>
inline __attribute__((always_inline)) void SphericalHarmonics::basisGradient(const Vec3Of<F>& d, int degree,
                                                                              const F* g, Vec3Of<F>& gd) {
    if (degree < 1) return;
    const F x = d[0], y = d[1], z = d[2];
    F gx{}, gy{}, gz{};
    gy += -c1 * g[1];
    gz += c1 * g[2];
    gx += -c1 * g[3];
    if (degree >= 2) {
        gx += c2[0] * y * g[4];
        gy += c2[0] * x * g[4];
        gy += c2[1] * z * g[5];
        gz += c2[1] * y * g[5];
        gx += c2[2] * -2.0f * x * g[6];
        gy += c2[2] * -2.0f * y * g[6];
        gz += c2[2] * 4.0f * z * g[6];
        gx += c2[3] * z * g[7];
        gz += c2[3] * x * g[7];
        gx += c2[4] * 2.0f * x * g[8];
        gy += c2[4] * -2.0f * y * g[8];
    }
    if (degree >= 3) {
        const F xx = x * x, yy = y * y, zz = z * z;
        gx += c3[0] * 6.0f * x * y * g[9];
        gy += c3[0] * 3.0f * (xx - yy) * g[9];
        gx += c3[1] * y * z * g[10];
        gy += c3[1] * x * z * g[10];
        gz += c3[1] * x * y * g[10];
        gx += c3[2] * -2.0f * x * y * g[11];
        gy += c3[2] * (4.0f * zz - xx - 3.0f * yy) * g[11];
        gz += c3[2] * 8.0f * y * z * g[11];
        gx += c3[3] * -6.0f * x * z * g[12];
        gy += c3[3] * -6.0f * y * z * g[12];
        gz += c3[3] * (6.0f * zz - 3.0f * xx - 3.0f * yy) * g[12];
        gx += c3[4] * (4.0f * zz - 3.0f * xx - yy) * g[13];
        gy += c3[4] * -2.0f * x * y * g[13];
        gz += c3[4] * 8.0f * x * z * g[13];
        gx += c3[5] * 2.0f * x * z * g[14];
        gy += c3[5] * -2.0f * y * z * g[14];
        gz += c3[5] * (xx - yy) * g[14];
        gx += c3[6] * 3.0f * (xx - yy) * g[15];
        gy += c3[6] * -6.0f * x * y * g[15];
    }
    gd[0] += gx;
    gd[1] += gy;
    gd[2] += gz;
}

}  // namespace tessaron::trainer
