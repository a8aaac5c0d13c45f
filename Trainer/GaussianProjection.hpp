#pragma once

#include <cstddef>

#include "Trainer/GaussianModel.hpp"
#include "Trainer/ViewCamera.hpp"

namespace tessaron::trainer {

// One Gaussian seen by one camera: its footprint on the image (mean, the
// inverse of its 2D covariance, a bounding radius), opacity and colour.
struct ProjectedGaussian {
    float meanX = 0, meanY = 0;
    float conicA = 0, conicB = 0, conicC = 0;  // inverse covariance [[A, B], [B, C]]
    float opacity = 0;
    float colour[3] = {0, 0, 0};
    float depth = 0;
    float radius = 0;  // pixels; 0 when the Gaussian is not visible
};

// The floats of a ProjectedGaussian by name, in the order of its memory, for
// the code that moves Gaussians between rows in memory and vector lanes;
// the checks below hold the structure to it.
namespace projectedField {
enum Field : int { meanX, meanY, conicA, conicB, conicC, opacity, red, green, blue, depth, radius, fieldCount };
}
static_assert(sizeof(ProjectedGaussian) == projectedField::fieldCount * sizeof(float));
static_assert(offsetof(ProjectedGaussian, meanX) == projectedField::meanX * sizeof(float) &&
              offsetof(ProjectedGaussian, meanY) == projectedField::meanY * sizeof(float) &&
              offsetof(ProjectedGaussian, conicA) == projectedField::conicA * sizeof(float) &&
              offsetof(ProjectedGaussian, conicB) == projectedField::conicB * sizeof(float) &&
              offsetof(ProjectedGaussian, conicC) == projectedField::conicC * sizeof(float) &&
              offsetof(ProjectedGaussian, opacity) == projectedField::opacity * sizeof(float) &&
              offsetof(ProjectedGaussian, colour) == projectedField::red * sizeof(float) &&
              projectedField::blue == projectedField::red + 2 &&
              offsetof(ProjectedGaussian, depth) == projectedField::depth * sizeof(float) &&
              offsetof(ProjectedGaussian, radius) == projectedField::radius * sizeof(float));

// Gradient of the loss with respect to the fields of a ProjectedGaussian.
struct ProjectedGradient {
    float meanX = 0, meanY = 0;
    float conicA = 0, conicB = 0, conicC = 0;
    float opacity = 0;
    float colour[3] = {0, 0, 0};
};

// The floats of a ProjectedGradient by name, in the order of its memory, for
// the code that moves gradients from rows in memory into vector lanes.
namespace gradientField {
enum Field : int { meanX, meanY, conicA, conicB, conicC, opacity, red, green, blue, fieldCount };
}
static_assert(sizeof(ProjectedGradient) == gradientField::fieldCount * sizeof(float));
static_assert(offsetof(ProjectedGradient, meanX) == gradientField::meanX * sizeof(float) &&
              offsetof(ProjectedGradient, meanY) == gradientField::meanY * sizeof(float) &&
              offsetof(ProjectedGradient, conicA) == gradientField::conicA * sizeof(float) &&
              offsetof(ProjectedGradient, conicB) == gradientField::conicB * sizeof(float) &&
              offsetof(ProjectedGradient, conicC) == gradientField::conicC * sizeof(float) &&
              offsetof(ProjectedGradient, opacity) == gradientField::opacity * sizeof(float) &&
              offsetof(ProjectedGradient, colour) == gradientField::red * sizeof(float) &&
              gradientField::green == gradientField::red + 1 && gradientField::blue == gradientField::red + 2);

// The projection of a 3D Gaussian to the image: covariance R S Sᵀ Rᵀ, its
// image through the Jacobian of the perspective projection at the
// Gaussian's centre, a dilation of the 2D covariance for numerical
// stability, and the view-dependent colour of its spherical harmonics.
// The same arithmetic serves one Gaussian at a time (project, backward) and
// eight at a time in the lanes of vector registers (projectBatch,
// backwardBatch), the renderer's path; the two agree to float rounding.
struct GaussianProjection {
    static constexpr size_t batchSize = 8;

    static constexpr float nearPlane = 0.01f;
    static constexpr float dilation = 0.3f;
    // The Jacobian is taken at most this far outside the field of view, so
    // that Gaussians near the image plane's edge do not blow up.
    static constexpr float frustumMargin = 1.3f;

    // False (and radius 0) when the Gaussian is behind the near plane or
    // degenerate.
    static bool project(const GaussianModel& model, size_t index, const ViewCamera& camera, const Vec3& centre,
                        int shDegree, ProjectedGaussian& out);

    // Adds the gradient of every parameter of Gaussian `index` to `gradients`
    // (same index) and returns the gradient with respect to the image-space
    // mean in normalised device units, whose size drives densification.
    static float backward(const GaussianModel& model, size_t index, const ViewCamera& camera, const Vec3& centre,
                          int shDegree, const ProjectedGradient& gradient, GaussianModel& gradients);

    // project() for Gaussians first .. first + count - 1 into out[0 .. count - 1]
    // (radius 0 where not visible), eight at a time.
    static void projectBatch(const GaussianModel& model, size_t first, size_t count, const ViewCamera& camera,
                             const Vec3& centre, int shDegree, ProjectedGaussian* out);

    // backward() for Gaussians indices[0 .. count - 1] (no index twice), with
    // gradient[k] for Gaussian indices[k], whose mean's gradient size goes to
    // meanGradientNorms[k]; eight at a time.
    static void backwardBatch(const GaussianModel& model, const size_t* indices, size_t count,
                              const ViewCamera& camera, const Vec3& centre, int shDegree,
                              const ProjectedGradient* gradient, GaussianModel& gradients, float* meanGradientNorms);
};

}  // namespace tessaron::trainer
