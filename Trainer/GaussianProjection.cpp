#include "Trainer/GaussianProjection.hpp"

#include <algorithm>
#include <type_traits>

#include "Trainer/Lanes.hpp"
#include "Trainer/TargetClones.hpp"
#include "Trainer/Tuning.hpp"
#include "Trainer/SphericalHarmonics.hpp"

namespace tessaron::trainer {

namespace {

using lanes::Floats;
using lanes::Mask;
using lanes::maxOf;
using lanes::select;
using lanes::splat;
using lanes::squareRoot;

// The math below is written once for F = float (one Gaussian) and for
// F = Floats (eight Gaussians, one per lane). Conditions on a Gaussian are
// lane masks: every lane computes everything, and what a lane whose
// Gaussian fails a test produced (infinities, NaN) is selected away.
template <typename F>
constexpr int laneCount = lanes::isScalar<F> ? 1 : lanes::width;

template <typename F>
inline __attribute__((always_inline)) float laneOf(F value, int lane) {
    if constexpr (lanes::isScalar<F>)
        return value;
    else
        return value[lane];
}

// The parameters of the lanes' Gaussians: per group, where each lane's are.
template <typename F>
struct LaneParameters {
    const float* at[GaussianModel::groupCount][laneCount<F>];

    // Lane k reads Gaussian indices[min(k, count - 1)].
    LaneParameters(const GaussianModel& model, const size_t* indices, int count) {
        for (int group = 0; group < GaussianModel::groupCount; ++group)
            for (int lane = 0; lane < laneCount<F>; ++lane)
                at[group][lane] = model.at(GaussianModel::Group(group), indices[std::min(lane, count - 1)]);
    }

    inline __attribute__((always_inline)) F operator()(GaussianModel::Group group, int k) const {
        if constexpr (lanes::isScalar<F>) {
            return at[group][0][k];
        } else {
            Floats value;
            for (int lane = 0; lane < laneCount<F>; ++lane) value[lane] = at[group][lane][k];
            return value;
        }
    }

    // Values 0 .. n - 1 of a group's (n = 0 or at least 8).
    inline __attribute__((always_inline)) void row(GaussianModel::Group group, int n, F* out) const {
        if constexpr (lanes::isScalar<F>) {
            std::copy_n(at[group][0], n, out);
        } else {
            const void* rows[lanes::width];
            std::copy_n(at[group], lanes::width, rows);
            lanes::rowsToColumns(rows, n, out);
        }
    }
};

// Where the lanes' gradients are added. Lanes beyond `count` write to a
// scratch Gaussian of their own, so that every store is unconditional.
template <typename F>
struct LaneGradients {
    float* at[GaussianModel::groupCount][laneCount<F>];
    float scratch[GaussianModel::groupCount][GaussianModel::widths[GaussianModel::shRest]];

    LaneGradients(GaussianModel& gradients, const size_t* indices, int count) {
        for (int group = 0; group < GaussianModel::groupCount; ++group)
            for (int lane = 0; lane < laneCount<F>; ++lane)
                at[group][lane] =
                    lane < count ? gradients.at(GaussianModel::Group(group), indices[lane]) : scratch[group];
    }

    inline __attribute__((always_inline)) void add(GaussianModel::Group group, int k, F value) {
        for (int lane = 0; lane < laneCount<F>; ++lane) at[group][lane][k] += laneOf(value, lane);
    }

    // Adds values 0 .. n - 1 of a group's (n = 0 or at least 8).
    inline __attribute__((always_inline)) void addRow(GaussianModel::Group group, int n, const F* values) {
        if constexpr (lanes::isScalar<F>) {
            for (int k = 0; k < n; ++k) at[group][0][k] += values[k];
        } else {
            void* rows[lanes::width];
            std::copy_n(at[group], lanes::width, rows);
            lanes::columnsToRows<true>(values, n, rows);
        }
    }
};

template <typename F>
struct Geometry {
    Mat3Of<F> W;      // camera rotation
    Vec3Of<F> t;      // camera-space centre
    F inverseDepth;   // 1 / t.z: divisions are slow, multiplications are not
    F txz, tyz;       // t.x / t.z and t.y / t.z, clamped to the frustum margin
    Mask<F> clampX, clampY;
    F J[6];           // 2 x 3 Jacobian; J[1] and J[3] are 0
    F T[6];           // J · camera rotation
    F norm, inverseNorm, unit[4];  // of the rotation's quaternion
    Mat3Of<F> Rq;     // rotation of the Gaussian
    Vec3Of<F> scale;
    Mat3Of<F> sigma;  // 3D covariance
    F covA, covB, covC;  // 2D covariance with dilation
    // In front of the near plane, a rotation, a finite covariance.
    Mask<F> valid;
};

template <typename F>
inline __attribute__((always_inline)) void geometry(const LaneParameters<F>& gaussian, const ViewCamera& camera,
                                                    Geometry<F>& g) {
    g.W = broadcast<F>(camera.rotation);
    const Vec3Of<F> p{gaussian(GaussianModel::position, 0), gaussian(GaussianModel::position, 1),
                      gaussian(GaussianModel::position, 2)};
    g.t = multiply(g.W, p) + broadcast<F>(camera.translation);
    const F tz = g.t[2];
    const float limX = GaussianProjection::frustumMargin * 0.5f * float(camera.width) / camera.fx;
    const float limY = GaussianProjection::frustumMargin * 0.5f * float(camera.height) / camera.fy;
    g.inverseDepth = 1.0f / tz;
    const F iz = g.inverseDepth;
    const F rx = g.t[0] * iz, ry = g.t[1] * iz;
    g.clampX = (rx < -limX) | (rx > limX);
    g.clampY = (ry < -limY) | (ry > limY);
    g.txz = lanes::clampTo(rx, -limX, limX);
    g.tyz = lanes::clampTo(ry, -limY, limY);
    g.J[0] = camera.fx * iz;
    g.J[1] = F{};
    g.J[2] = -camera.fx * g.txz * iz;
    g.J[3] = F{};
    g.J[4] = camera.fy * iz;
    g.J[5] = -camera.fy * g.tyz * iz;
    const Mat3Of<F>& W = g.W;
    for (int c = 0; c < 3; ++c) {
        g.T[c] = g.J[0] * W[c] + g.J[2] * W[6 + c];
        g.T[3 + c] = g.J[4] * W[3 + c] + g.J[5] * W[6 + c];
    }

    F q[4];
    for (int k = 0; k < 4; ++k) q[k] = gaussian(GaussianModel::rotation, k);
    g.norm = squareRoot(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    g.inverseNorm = 1.0f / g.norm;
    for (int k = 0; k < 4; ++k) g.unit[k] = q[k] * g.inverseNorm;
    g.Rq = rotationOf(g.unit[0], g.unit[1], g.unit[2], g.unit[3]);
    for (int k = 0; k < 3; ++k) g.scale[k] = lanes::exponential(gaussian(GaussianModel::logScale, k));
    Mat3Of<F> M;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) M[i * 3 + k] = g.Rq[i * 3 + k] * g.scale[k];
    g.sigma = timesOwnTranspose(M);

    // cov2 = T Σ Tᵀ
    F TS[6];
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            TS[r * 3 + c] = g.T[r * 3] * g.sigma[c] + g.T[r * 3 + 1] * g.sigma[3 + c] + g.T[r * 3 + 2] * g.sigma[6 + c];
    g.covA = TS[0] * g.T[0] + TS[1] * g.T[1] + TS[2] * g.T[2] + GaussianProjection::dilation;
    g.covB = TS[0] * g.T[3] + TS[1] * g.T[4] + TS[2] * g.T[5];
    g.covC = TS[3] * g.T[3] + TS[4] * g.T[4] + TS[5] * g.T[5] + GaussianProjection::dilation;
    // Masks combined with &, not &&: the same code serves one Gaussian and eight.
    const Mask<F> finiteA = lanes::isFinite(g.covA), finiteB = lanes::isFinite(g.covB),
                  finiteC = lanes::isFinite(g.covC);
    g.valid = (tz > GaussianProjection::nearPlane) & (g.norm > 1e-12f) & finiteA & finiteB & finiteC;
}

// The colour a camera at `centre` sees: the view direction, the basis
// values there, the coefficients and each channel before its clamp at 0.
template <typename F>
struct ViewColour {
    Vec3Of<F> direction;
    F distance;
    F basis[16];
    F coefficients[48];  // [k * 3 + c]: the DC's three, then the rest as the model keeps them
    F channel[3];
};

template <typename F>
inline __attribute__((always_inline)) void viewColour(const LaneParameters<F>& gaussian, const Vec3& centre,
                                                      int shDegree, ViewColour<F>& colour) {
    const Vec3Of<F> v{gaussian(GaussianModel::position, 0) - centre[0],
                      gaussian(GaussianModel::position, 1) - centre[1],
                      gaussian(GaussianModel::position, 2) - centre[2]};
    colour.distance = maxOf(length(v), splat<F>(1e-12f));
    colour.direction = (1.0f / colour.distance) * v;
    SphericalHarmonics::basis(colour.direction, shDegree, colour.basis);
    const int count = SphericalHarmonics::coefficientCount(shDegree);
    for (int c = 0; c < 3; ++c) colour.coefficients[c] = gaussian(GaussianModel::shDC, c);
    gaussian.row(GaussianModel::shRest, (count - 1) * 3, colour.coefficients + 3);
    for (int c = 0; c < 3; ++c) {
        F value = 0.5f + colour.basis[0] * colour.coefficients[c];
        for (int k = 1; k < count; ++k) value += colour.basis[k] * colour.coefficients[k * 3 + c];
        colour.channel[c] = value;
    }
}

template <typename F>
struct ProjectedLanes {
    F meanX, meanY, conicA, conicB, conicC, opacity, colour[3], depth, radius;
};

// ProjectedGaussian (see projectedField) and ProjectedGradient (see
// gradientField) move in and out of lanes as rows of floats.
static_assert(std::is_standard_layout_v<ProjectedGaussian>);
static_assert(std::is_standard_layout_v<ProjectedGradient>);

template <typename F>
inline __attribute__((always_inline)) Mask<F> projectLanes(const LaneParameters<F>& gaussian, const ViewCamera& camera,
                                                           const Vec3& centre, int shDegree, ProjectedLanes<F>& out) {
    Geometry<F> g;
    geometry(gaussian, camera, g);
    const F det = g.covA * g.covC - g.covB * g.covB;
    const Mask<F> visible = g.valid & (det > 0.0f);
    const F inverseDet = 1.0f / det;
    out.conicA = g.covC * inverseDet;
    out.conicB = -g.covB * inverseDet;
    out.conicC = g.covA * inverseDet;
    const F mid = 0.5f * (g.covA + g.covC);
    const F lambda = mid + squareRoot(maxOf(splat<F>(0.1f), mid * mid - det));
    out.radius = select(visible, lanes::ceiling(3.0f * squareRoot(lambda)), F{});
    out.meanX = camera.fx * (g.t[0] * g.inverseDepth) + camera.cx;
    out.meanY = camera.fy * (g.t[1] * g.inverseDepth) + camera.cy;
    out.depth = g.t[2];
    out.opacity = sigmoid(gaussian(GaussianModel::opacity, 0));

    ViewColour<F> colour;
    viewColour(gaussian, centre, shDegree, colour);
    for (int c = 0; c < 3; ++c) out.colour[c] = maxOf(F{}, colour.channel[c]);
    return visible;
}

template <typename F>
struct GradientLanes {
    F meanX, meanY, conicA, conicB, conicC, opacity, colour[3];
};

// A batch of ProjectedGradient rows, read into columns, by name.
template <typename F>
inline __attribute__((always_inline)) GradientLanes<F> gradientLanes(const F (&fields)[gradientField::fieldCount]) {
    GradientLanes<F> out;
    out.meanX = fields[gradientField::meanX];
    out.meanY = fields[gradientField::meanY];
    out.conicA = fields[gradientField::conicA];
    out.conicB = fields[gradientField::conicB];
    out.conicC = fields[gradientField::conicC];
    out.opacity = fields[gradientField::opacity];
    out.colour[0] = fields[gradientField::red];
    out.colour[1] = fields[gradientField::green];
    out.colour[2] = fields[gradientField::blue];
    return out;
}

template <typename F>
inline __attribute__((always_inline)) F backwardLanes(const LaneParameters<F>& gaussian, const ViewCamera& camera,
                                                      const Vec3& centre, int shDegree, const GradientLanes<F>& grad,
                                                      LaneGradients<F>& gradients) {
    Geometry<F> g;
    geometry(gaussian, camera, g);
    const F opacityLogit = gaussian(GaussianModel::opacity, 0);
    ViewColour<F> colour;
    viewColour(gaussian, centre, shDegree, colour);
    // Lanes whose Gaussian is not drawn pass no gradient.
    const auto passed = [&](F value) __attribute__((always_inline)) { return select(g.valid, value, F{}); };

    // Colour: spherical harmonics, the clamp at 0 passing no gradient.
    const Vec3Of<F>& d = colour.direction;
    const F* y = colour.basis;
    const int count = SphericalHarmonics::coefficientCount(shDegree);
    F gY[16] = {};
    F gCoefficients[48];
    for (int c = 0; c < 3; ++c) {
        const F gc = select(colour.channel[c] < 0.0f, F{}, grad.colour[c]);
        for (int k = 0; k < count; ++k) {
            gCoefficients[k * 3 + c] = passed(y[k] * gc);
            gY[k] += colour.coefficients[k * 3 + c] * gc;
        }
    }
    for (int c = 0; c < 3; ++c) gradients.add(GaussianModel::shDC, c, gCoefficients[c]);
    gradients.addRow(GaussianModel::shRest, (count - 1) * 3, gCoefficients + 3);
    Vec3Of<F> gDir{};
    SphericalHarmonics::basisGradient(d, shDegree, gY, gDir);
    Vec3Of<F> gPosition = (1.0f / colour.distance) * (gDir - dot(d, gDir) * d);

    // Opacity through the sigmoid.
    const F op = sigmoid(opacityLogit);
    gradients.add(GaussianModel::opacity, 0, passed(grad.opacity * op * (1.0f - op)));

    // Conic (inverse covariance) to covariance: dΣ = -Q dQ Q.
    const F det = g.covA * g.covC - g.covB * g.covB;
    const F inverseDet = 1.0f / det;
    const F qa = g.covC * inverseDet, qb = -g.covB * inverseDet, qc = g.covA * inverseDet;
    const F ga = grad.conicA, gb = 0.5f * grad.conicB, gc = grad.conicC;  // symmetric matrix of the gradient
    // -Q G Q with Q = [[qa, qb], [qb, qc]], G = [[ga, gb], [gb, gc]]
    const F QG00 = qa * ga + qb * gb, QG01 = qa * gb + qb * gc;
    const F QG10 = qb * ga + qc * gb, QG11 = qb * gb + qc * gc;
    const F gCov00 = -(QG00 * qa + QG01 * qb);
    const F gCov01 = -(QG00 * qb + QG01 * qc);
    const F gCov11 = -(QG10 * qb + QG11 * qc);
    const F G2[4] = {gCov00, gCov01, gCov01, gCov11};

    // cov2 = T Σ Tᵀ: gΣ = Tᵀ G2 T, gT = 2 G2 T Σ.
    F G2T[6];
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) G2T[r * 3 + c] = G2[r * 2] * g.T[c] + G2[r * 2 + 1] * g.T[3 + c];
    Mat3Of<F> gSigma;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) gSigma[i * 3 + j] = g.T[i] * G2T[j] + g.T[3 + i] * G2T[3 + j];
    F gT[6];
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            gT[r * 3 + c] = 2.0f * (G2T[r * 3] * g.sigma[c] + G2T[r * 3 + 1] * g.sigma[3 + c] +
                                    G2T[r * 3 + 2] * g.sigma[6 + c]);
    // T = J W: gJ = gT Wᵀ (only the entries of J that are not 0).
    const Mat3Of<F>& W = g.W;
    F gJ[6];
    for (int e : {0, 2, 4, 5}) {
        const int r = e / 3, c = e % 3;
        gJ[e] = gT[r * 3] * W[c * 3] + gT[r * 3 + 1] * W[c * 3 + 1] + gT[r * 3 + 2] * W[c * 3 + 2];
    }

    // The Jacobian's dependence on the camera-space centre; a clamped
    // coordinate passes its share to the depth only.
    const float fx = camera.fx, fy = camera.fy;
    const F iz = g.inverseDepth, iz2 = iz * iz;
    Vec3Of<F> gt{};
    gt[2] += gJ[0] * (-fx * iz2) + gJ[4] * (-fy * iz2);
    gt[0] += select(g.clampX, F{}, gJ[2] * (-fx * iz2));
    gt[2] += select(g.clampX, gJ[2] * (fx * g.txz * iz2), gJ[2] * (2.0f * fx * g.t[0] * (iz2 * iz)));
    gt[1] += select(g.clampY, F{}, gJ[5] * (-fy * iz2));
    gt[2] += select(g.clampY, gJ[5] * (fy * g.tyz * iz2), gJ[5] * (2.0f * fy * g.t[1] * (iz2 * iz)));
    // The image-space mean.
    gt[0] += grad.meanX * fx * iz;
    gt[1] += grad.meanY * fy * iz;
    gt[2] += -grad.meanX * fx * g.t[0] * iz2 - grad.meanY * fy * g.t[1] * iz2;
    gPosition = gPosition + multiplyTransposed(W, gt);
    for (int k = 0; k < 3; ++k) gradients.add(GaussianModel::position, k, passed(gPosition[k]));

    // Σ = M Mᵀ with M = Rq S: gM = 2 gΣ M.
    Mat3Of<F> M;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) M[i * 3 + k] = g.Rq[i * 3 + k] * g.scale[k];
    Mat3Of<F> gM = multiply(gSigma, M);
    for (F& value : gM) value *= 2.0f;
    Mat3Of<F> gR;
    for (int k = 0; k < 3; ++k) {
        F gScale{};
        for (int i = 0; i < 3; ++i) {
            gScale += gM[i * 3 + k] * g.Rq[i * 3 + k];
            gR[i * 3 + k] = gM[i * 3 + k] * g.scale[k];
        }
        gradients.add(GaussianModel::logScale, k, passed(gScale * g.scale[k]));
    }
    // Rotation matrix to the unit quaternion, then through the normalisation.
    const F w = g.unit[0], x = g.unit[1], yq = g.unit[2], z = g.unit[3];
    const F zero{};
    const Mat3Of<F> dw{zero, -2.0f * z, 2.0f * yq, 2.0f * z, zero, -2.0f * x, -2.0f * yq, 2.0f * x, zero};
    const Mat3Of<F> dx{zero, 2.0f * yq, 2.0f * z, 2.0f * yq, -4.0f * x, -2.0f * w, 2.0f * z, 2.0f * w, -4.0f * x};
    const Mat3Of<F> dy{-4.0f * yq, 2.0f * x, 2.0f * w, 2.0f * x, zero, 2.0f * z, -2.0f * w, 2.0f * z, -4.0f * yq};
    const Mat3Of<F> dz{-4.0f * z, -2.0f * w, 2.0f * x, 2.0f * w, -4.0f * z, 2.0f * yq, 2.0f * x, 2.0f * yq, zero};
    F gUnit[4] = {};
    for (int e = 0; e < 9; ++e) {
        gUnit[0] += gR[e] * dw[e];
        gUnit[1] += gR[e] * dx[e];
        gUnit[2] += gR[e] * dy[e];
        gUnit[3] += gR[e] * dz[e];
    }
    const F along = g.unit[0] * gUnit[0] + g.unit[1] * gUnit[1] + g.unit[2] * gUnit[2] + g.unit[3] * gUnit[3];
    for (int k = 0; k < 4; ++k)
        gradients.add(GaussianModel::rotation, k, passed((gUnit[k] - g.unit[k] * along) * g.inverseNorm));

    // Normalised device units span the image's width and height by 2.
    const F ndcX = grad.meanX * 0.5f * float(camera.width);
    const F ndcY = grad.meanY * 0.5f * float(camera.height);
    return passed(squareRoot(ndcX * ndcX + ndcY * ndcY));
}

// Asks for the cache lines of the colour coefficients a Gaussian uses at a
// degree (none at degree 0: fetching the rest would only load the memory).
inline void prefetchRow(const float* row, int shDegree) {
    const size_t bytes = GaussianModel::restWidth(shDegree) * sizeof(float);
    if (bytes == 0) return;
    const char* first = reinterpret_cast<const char*>(row);
    for (size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(first + offset);
    __builtin_prefetch(first + bytes - 1);
}

// The eight-lane paths, compiled for AVX2 and for any x86-64; everything
// they call is inlined into each clone. Lanes beyond the last Gaussian
// repeat it and write to scratch.
TESSARON_AVX2_CLONES_FLATTENED void
projectInBatches(const GaussianModel& model, size_t first, size_t count, const ViewCamera& camera,
                 const Vec3& centre, int shDegree, ProjectedGaussian* out) {
    ProjectedGaussian scratch;
    for (size_t done = 0; done < count; done += lanes::width) {
        const int used = int(std::min<size_t>(lanes::width, count - done));
        size_t indices[lanes::width];
        void* rows[lanes::width];
        for (int lane = 0; lane < lanes::width; ++lane) {
            indices[lane] = first + done + size_t(lane);
            rows[lane] = lane < used ? &out[done + size_t(lane)] : &scratch;
        }
        // The colour coefficients of a batch ahead.
        const size_t fetchFrom = done + tuning::colourPrefetchBatches * lanes::width;
        for (size_t ahead = fetchFrom; ahead < std::min(count, fetchFrom + lanes::width); ++ahead)
            prefetchRow(model.at(GaussianModel::shRest, first + ahead), shDegree);
        ProjectedLanes<Floats> p;
        projectLanes(LaneParameters<Floats>(model, indices, used), camera, centre, shDegree, p);
        Floats fields[projectedField::fieldCount];
        fields[projectedField::meanX] = p.meanX;
        fields[projectedField::meanY] = p.meanY;
        fields[projectedField::conicA] = p.conicA;
        fields[projectedField::conicB] = p.conicB;
        fields[projectedField::conicC] = p.conicC;
        fields[projectedField::opacity] = p.opacity;
        fields[projectedField::red] = p.colour[0];
        fields[projectedField::green] = p.colour[1];
        fields[projectedField::blue] = p.colour[2];
        fields[projectedField::depth] = p.depth;
        fields[projectedField::radius] = p.radius;
        lanes::columnsToRows<false>(fields, projectedField::fieldCount, rows);
    }
}

TESSARON_AVX2_CLONES_FLATTENED void
backwardInBatches(const GaussianModel& model, const size_t* indices, size_t count, const ViewCamera& camera,
                  const Vec3& centre, int shDegree, const ProjectedGradient* gradient, GaussianModel& gradients,
                  float* meanGradientNorms) {
    for (size_t done = 0; done < count; done += lanes::width) {
        const int used = int(std::min<size_t>(lanes::width, count - done));
        const void* rows[lanes::width];
        for (int lane = 0; lane < lanes::width; ++lane) rows[lane] = &gradient[done + size_t(std::min(lane, used - 1))];
        Floats fields[gradientField::fieldCount];
        lanes::rowsToColumns(rows, gradientField::fieldCount, fields);
        const GradientLanes<Floats> sums = gradientLanes(fields);
        LaneGradients<Floats> targets(gradients, indices + done, used);
        // The colour coefficients, most of the memory read and written, are
        // needed last: fetch them while the geometry is computed.
        for (int lane = 0; lane < used; ++lane) {
            prefetchRow(model.at(GaussianModel::shRest, indices[done + size_t(lane)]), shDegree);
            prefetchRow(targets.at[GaussianModel::shRest][lane], shDegree);
        }
        const Floats norms = backwardLanes(LaneParameters<Floats>(model, indices + done, used), camera, centre,
                                           shDegree, sums, targets);
        for (int lane = 0; lane < used; ++lane) meanGradientNorms[done + size_t(lane)] = norms[lane];
    }
}

}  // namespace

bool GaussianProjection::project(const GaussianModel& model, size_t index, const ViewCamera& camera,
                                 const Vec3& centre, int shDegree, ProjectedGaussian& out) {
    ProjectedLanes<float> p;
    const bool visible = projectLanes(LaneParameters<float>(model, &index, 1), camera, centre, shDegree, p);
    out = {p.meanX, p.meanY, p.conicA, p.conicB, p.conicC, p.opacity, {p.colour[0], p.colour[1], p.colour[2]},
           p.depth, p.radius};
    return visible;
}

float GaussianProjection::backward(const GaussianModel& model, size_t index, const ViewCamera& camera,
                                   const Vec3& centre, int shDegree, const ProjectedGradient& grad,
                                   GaussianModel& gradients) {
    GradientLanes<float> sums;
    sums.meanX = grad.meanX;
    sums.meanY = grad.meanY;
    sums.conicA = grad.conicA;
    sums.conicB = grad.conicB;
    sums.conicC = grad.conicC;
    sums.opacity = grad.opacity;
    for (int c = 0; c < 3; ++c) sums.colour[c] = grad.colour[c];
    LaneGradients<float> targets(gradients, &index, 1);
    return backwardLanes(LaneParameters<float>(model, &index, 1), camera, centre, shDegree, sums, targets);
}

void GaussianProjection::projectBatch(const GaussianModel& model, size_t first, size_t count,
                                      const ViewCamera& camera, const Vec3& centre, int shDegree,
                                      ProjectedGaussian* out) {
    projectInBatches(model, first, count, camera, centre, shDegree, out);
}

void GaussianProjection::backwardBatch(const GaussianModel& model, const size_t* indices, size_t count,
                                       const ViewCamera& camera, const Vec3& centre, int shDegree,
                                       const ProjectedGradient* gradient, GaussianModel& gradients,
                                       float* meanGradientNorms) {
    backwardInBatches(model, indices, count, camera, centre, shDegree, gradient, gradients, meanGradientNorms);
}

}  // namespace tessaron::trainer
