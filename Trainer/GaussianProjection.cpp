#include "Trainer/GaussianProjection.hpp"

#include <algorithm>
#include <cmath>

#include "Trainer/SphericalHarmonics.hpp"

namespace tessaron::trainer {

namespace {

struct Geometry {
    Vec3 t;           // camera-space centre
    float txz, tyz;   // t.x / t.z and t.y / t.z, clamped to the frustum margin
    bool clampX, clampY;
    float J[6];       // 2 x 3 Jacobian
    float T[6];       // J · camera rotation
    Mat3 Rq;          // rotation of the Gaussian
    Vec3 scale;
    Mat3 sigma;       // 3D covariance
    float covA, covB, covC;  // 2D covariance with dilation
};

bool geometry(const GaussianModel& model, size_t index, const ViewCamera& camera, Geometry& g) {
    const float* p = model.at(GaussianModel::position, index);
    g.t = multiply(camera.rotation, Vec3{p[0], p[1], p[2]}) + camera.translation;
    if (!(g.t[2] > GaussianProjection::nearPlane)) return false;
    const float tz = g.t[2];
    const float limX = GaussianProjection::frustumMargin * 0.5f * float(camera.width) / camera.fx;
    const float limY = GaussianProjection::frustumMargin * 0.5f * float(camera.height) / camera.fy;
    float rx = g.t[0] / tz, ry = g.t[1] / tz;
    g.clampX = rx < -limX || rx > limX;
    g.clampY = ry < -limY || ry > limY;
    g.txz = std::clamp(rx, -limX, limX);
    g.tyz = std::clamp(ry, -limY, limY);
    g.J[0] = camera.fx / tz;
    g.J[1] = 0;
    g.J[2] = -camera.fx * g.txz / tz;
    g.J[3] = 0;
    g.J[4] = camera.fy / tz;
    g.J[5] = -camera.fy * g.tyz / tz;
    const Mat3& W = camera.rotation;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            g.T[r * 3 + c] = g.J[r * 3] * W[c] + g.J[r * 3 + 1] * W[3 + c] + g.J[r * 3 + 2] * W[6 + c];

    const float* q = model.at(GaussianModel::rotation, index);
    float norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(norm > 1e-12f)) return false;
    g.Rq = rotationOf(q[0] / norm, q[1] / norm, q[2] / norm, q[3] / norm);
    const float* s = model.at(GaussianModel::logScale, index);
    g.scale = {std::exp(s[0]), std::exp(s[1]), std::exp(s[2])};
    Mat3 M{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) M[i * 3 + k] = g.Rq[i * 3 + k] * g.scale[k];
    g.sigma = multiply(M, transposed(M));

    // cov2 = T Σ Tᵀ
    float TS[6];
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            TS[r * 3 + c] = g.T[r * 3] * g.sigma[c] + g.T[r * 3 + 1] * g.sigma[3 + c] + g.T[r * 3 + 2] * g.sigma[6 + c];
    g.covA = TS[0] * g.T[0] + TS[1] * g.T[1] + TS[2] * g.T[2] + GaussianProjection::dilation;
    g.covB = TS[0] * g.T[3] + TS[1] * g.T[4] + TS[2] * g.T[5];
    g.covC = TS[3] * g.T[3] + TS[4] * g.T[4] + TS[5] * g.T[5] + GaussianProjection::dilation;
    return std::isfinite(g.covA) && std::isfinite(g.covB) && std::isfinite(g.covC);
}

// The colour a camera at `centre` sees: the view direction, the basis
// values there and each channel before its clamp at 0.
struct ViewColour {
    Vec3 direction;
    float distance;
    float basis[16];
    float channel[3];
};

ViewColour viewColour(const GaussianModel& model, size_t index, const Vec3& centre, int shDegree) {
    ViewColour colour;
    const float* p = model.at(GaussianModel::position, index);
    Vec3 v{p[0] - centre[0], p[1] - centre[1], p[2] - centre[2]};
    colour.distance = std::max(length(v), 1e-12f);
    colour.direction = (1.0f / colour.distance) * v;
    SphericalHarmonics::basis(colour.direction, shDegree, colour.basis);
    const float* dc = model.at(GaussianModel::shDC, index);
    const float* rest = model.at(GaussianModel::shRest, index);
    const int count = SphericalHarmonics::coefficientCount(shDegree);
    for (int c = 0; c < 3; ++c) {
        float value = 0.5f + colour.basis[0] * dc[c];
        for (int k = 1; k < count; ++k) value += colour.basis[k] * rest[(k - 1) * 3 + c];
        colour.channel[c] = value;
    }
    return colour;
}

}  // namespace

bool GaussianProjection::project(const GaussianModel& model, size_t index, const ViewCamera& camera,
                                 const Vec3& centre, int shDegree, ProjectedGaussian& out) {
    out.radius = 0;
    Geometry g;
    if (!geometry(model, index, camera, g)) return false;
    float det = g.covA * g.covC - g.covB * g.covB;
    if (!(det > 0)) return false;
    out.conicA = g.covC / det;
    out.conicB = -g.covB / det;
    out.conicC = g.covA / det;
    float mid = 0.5f * (g.covA + g.covC);
    float lambda = mid + std::sqrt(std::max(0.1f, mid * mid - det));
    out.radius = std::ceil(3.0f * std::sqrt(lambda));
    out.meanX = camera.fx * g.t[0] / g.t[2] + camera.cx;
    out.meanY = camera.fy * g.t[1] / g.t[2] + camera.cy;
    out.depth = g.t[2];
    out.opacity = sigmoid(model.at(GaussianModel::opacity, index)[0]);

    const ViewColour colour = viewColour(model, index, centre, shDegree);
    for (int c = 0; c < 3; ++c) out.colour[c] = std::max(0.0f, colour.channel[c]);
    return true;
}

float GaussianProjection::backward(const GaussianModel& model, size_t index, const ViewCamera& camera,
                                   const Vec3& centre, int shDegree, const ProjectedGradient& grad,
                                   GaussianModel& gradients) {
    Geometry g;
    if (!geometry(model, index, camera, g)) return 0;
    const float tz = g.t[2];

    // Colour: spherical harmonics, the clamp at 0 passing no gradient.
    const ViewColour colour = viewColour(model, index, centre, shDegree);
    const Vec3& d = colour.direction;
    const float* y = colour.basis;
    const float distance = colour.distance;
    const float* rest = model.at(GaussianModel::shRest, index);
    float* gdc = gradients.at(GaussianModel::shDC, index);
    float* grest = gradients.at(GaussianModel::shRest, index);
    const int count = SphericalHarmonics::coefficientCount(shDegree);
    float gY[16] = {};
    for (int c = 0; c < 3; ++c) {
        if (colour.channel[c] < 0) continue;
        float gc = grad.colour[c];
        gdc[c] += y[0] * gc;
        for (int k = 1; k < count; ++k) {
            grest[(k - 1) * 3 + c] += y[k] * gc;
            gY[k] += rest[(k - 1) * 3 + c] * gc;
        }
    }
    Vec3 gDir{0, 0, 0};
    SphericalHarmonics::basisGradient(d, shDegree, gY, gDir);
    Vec3 gPosition = (1.0f / distance) * (gDir - dot(d, gDir) * d);

    // Opacity through the sigmoid.
    float op = sigmoid(model.at(GaussianModel::opacity, index)[0]);
    gradients.at(GaussianModel::opacity, index)[0] += grad.opacity * op * (1 - op);

    // Conic (inverse covariance) to covariance: dΣ = -Q dQ Q.
    float det = g.covA * g.covC - g.covB * g.covB;
    float qa = g.covC / det, qb = -g.covB / det, qc = g.covA / det;
    float ga = grad.conicA, gb = 0.5f * grad.conicB, gc = grad.conicC;  // symmetric matrix of the gradient
    // -Q G Q with Q = [[qa, qb], [qb, qc]], G = [[ga, gb], [gb, gc]]
    float QG00 = qa * ga + qb * gb, QG01 = qa * gb + qb * gc;
    float QG10 = qb * ga + qc * gb, QG11 = qb * gb + qc * gc;
    float gCov00 = -(QG00 * qa + QG01 * qb);
    float gCov01 = -(QG00 * qb + QG01 * qc);
    float gCov11 = -(QG10 * qb + QG11 * qc);
    float G2[4] = {gCov00, gCov01, gCov01, gCov11};

    // cov2 = T Σ Tᵀ: gΣ = Tᵀ G2 T, gT = 2 G2 T Σ.
    float G2T[6];
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) G2T[r * 3 + c] = G2[r * 2] * g.T[c] + G2[r * 2 + 1] * g.T[3 + c];
    Mat3 gSigma{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) gSigma[i * 3 + j] = g.T[i] * G2T[j] + g.T[3 + i] * G2T[3 + j];
    float gT[6];
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            gT[r * 3 + c] = 2 * (G2T[r * 3] * g.sigma[c] + G2T[r * 3 + 1] * g.sigma[3 + c] +
                                 G2T[r * 3 + 2] * g.sigma[6 + c]);
    // T = J W: gJ = gT Wᵀ.
    const Mat3& W = camera.rotation;
    float gJ[6];
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            gJ[r * 3 + c] = gT[r * 3] * W[c * 3] + gT[r * 3 + 1] * W[c * 3 + 1] + gT[r * 3 + 2] * W[c * 3 + 2];

    // The Jacobian's dependence on the camera-space centre.
    const float fx = camera.fx, fy = camera.fy, tz2 = tz * tz;
    Vec3 gt{0, 0, 0};
    gt[2] += gJ[0] * (-fx / tz2) + gJ[4] * (-fy / tz2);
    if (g.clampX) {
        gt[2] += gJ[2] * (fx * g.txz / tz2);
    } else {
        gt[0] += gJ[2] * (-fx / tz2);
        gt[2] += gJ[2] * (2 * fx * g.t[0] / (tz2 * tz));
    }
    if (g.clampY) {
        gt[2] += gJ[5] * (fy * g.tyz / tz2);
    } else {
        gt[1] += gJ[5] * (-fy / tz2);
        gt[2] += gJ[5] * (2 * fy * g.t[1] / (tz2 * tz));
    }
    // The image-space mean.
    gt[0] += grad.meanX * fx / tz;
    gt[1] += grad.meanY * fy / tz;
    gt[2] += -grad.meanX * fx * g.t[0] / tz2 - grad.meanY * fy * g.t[1] / tz2;
    gPosition = gPosition + multiplyTransposed(W, gt);
    float* gp = gradients.at(GaussianModel::position, index);
    gp[0] += gPosition[0];
    gp[1] += gPosition[1];
    gp[2] += gPosition[2];

    // Σ = M Mᵀ with M = Rq S: gM = 2 gΣ M.
    Mat3 M{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) M[i * 3 + k] = g.Rq[i * 3 + k] * g.scale[k];
    Mat3 gM = multiply(gSigma, M);
    for (float& value : gM) value *= 2;
    float* gs = gradients.at(GaussianModel::logScale, index);
    Mat3 gR{};
    for (int k = 0; k < 3; ++k) {
        float gScale = 0;
        for (int i = 0; i < 3; ++i) {
            gScale += gM[i * 3 + k] * g.Rq[i * 3 + k];
            gR[i * 3 + k] = gM[i * 3 + k] * g.scale[k];
        }
        gs[k] += gScale * g.scale[k];
    }
    // Rotation matrix to the unit quaternion, then through the normalisation.
    const float* q = model.at(GaussianModel::rotation, index);
    float norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    float w = q[0] / norm, x = q[1] / norm, yq = q[2] / norm, z = q[3] / norm;
    const Mat3 dw{0, -2 * z, 2 * yq, 2 * z, 0, -2 * x, -2 * yq, 2 * x, 0};
    const Mat3 dx{0, 2 * yq, 2 * z, 2 * yq, -4 * x, -2 * w, 2 * z, 2 * w, -4 * x};
    const Mat3 dy{-4 * yq, 2 * x, 2 * w, 2 * x, 0, 2 * z, -2 * w, 2 * z, -4 * yq};
    const Mat3 dz{-4 * z, -2 * w, 2 * x, 2 * w, -4 * z, 2 * yq, 2 * x, 2 * yq, 0};
    float gUnit[4] = {0, 0, 0, 0};
    for (int e = 0; e < 9; ++e) {
        gUnit[0] += gR[e] * dw[e];
        gUnit[1] += gR[e] * dx[e];
        gUnit[2] += gR[e] * dy[e];
        gUnit[3] += gR[e] * dz[e];
    }
    float unit[4] = {w, x, yq, z};
    float along = unit[0] * gUnit[0] + unit[1] * gUnit[1] + unit[2] * gUnit[2] + unit[3] * gUnit[3];
    float* gq = gradients.at(GaussianModel::rotation, index);
    for (int k = 0; k < 4; ++k) gq[k] += (gUnit[k] - unit[k] * along) / norm;

    // Normalised device units span the image's width and height by 2.
    float ndcX = grad.meanX * 0.5f * float(camera.width);
    float ndcY = grad.meanY * 0.5f * float(camera.height);
    return std::sqrt(ndcX * ndcX + ndcY * ndcY);
}

}  // namespace tessaron::trainer
