// The SPZ writer packs batch by batch; its file must be the one packing the
// whole scene at once gives.
#include <gtest/gtest.h>

#include <random>

#include "SplatFormats/SPZSceneWriter.hpp"
#include "spz/GaussianCloud.hpp"

using splatformats::SHCoefficients;
using splatformats::SplatPoint;

namespace {

SplatPoint point(std::mt19937& random, std::size_t triples) {
    std::normal_distribution<float> normal(0, 1);
    SplatPoint::Color color = SplatPoint::Color::sRGBUInt8({std::uint8_t(random()), 7, 200});
    if (triples > 0) {
        SHCoefficients sh;
        for (std::size_t k = 0; k < triples; ++k) sh.push_back({normal(random), normal(random) * 0.1f, -normal(random)});
        color = SplatPoint::Color::sphericalHarmonicFloat(sh);
    }
    return SplatPoint({normal(random) * 300, normal(random), normal(random) * 5}, color,
                      SplatPoint::Opacity::linearFloat(0.3f + 0.01f * float(random() % 50)),
                      SplatPoint::Scale::exponent({normal(random) - 3, -2, normal(random)}),
                      {normal(random), normal(random), normal(random), normal(random)});
}

// The whole scene as one cloud at its final degree, zeros for what a
// colour lacks: what packing it all at close gave.
spz::GaussianCloud cloudOf(const std::vector<SplatPoint>& points, int degree) {
    spz::GaussianCloud cloud;
    cloud.shDegree = degree;
    cloud.resize(std::int32_t(points.size()));
    std::size_t dimension = std::size_t(spz::SpzHeader::shDimension(degree));
    for (std::size_t p = 0; p < points.size(); ++p) {
        const SplatPoint& point = points[p];
        for (int axis = 0; axis < 3; ++axis) {
            cloud.positions[3 * p + std::size_t(axis)] = point.position[std::size_t(axis)];
            cloud.scales[3 * p + std::size_t(axis)] = point.scale.asExponent()[std::size_t(axis)];
        }
        const auto& q = point.rotation;
        std::copy_n(std::array<float, 4>{q.x, q.y, q.z, q.w}.begin(), 4, cloud.rotations.begin() + std::ptrdiff_t(4 * p));
        cloud.alphas[p] = point.opacity.asLogitFloat();
        SHCoefficients triples = point.color.asSphericalHarmonicFloat();
        for (std::size_t channel = 0; channel < 3; ++channel) {
            cloud.colors[3 * p + channel] = triples[0][channel];
            for (std::size_t k = 0; k < dimension; ++k)
                cloud.sh[3 * (p * dimension + k) + channel] = k + 1 < triples.size() ? triples[k + 1][channel] : 0.0f;
        }
    }
    return cloud;
}

}  // namespace

TEST(SPZWriterPacking, BatchesPackAsTheWholeSceneWould) {
    std::mt19937 random(23);
    // Degree 0, then degree 1, then degree 3: the earlier points widen twice.
    std::vector<std::vector<SplatPoint>> batches(3);
    for (int i = 0; i < 700; ++i) batches[0].push_back(point(random, 0));
    for (int i = 0; i < 500; ++i) batches[1].push_back(point(random, 4));
    for (int i = 0; i < 900; ++i) batches[2].push_back(point(random, i % 2 ? 16 : 1));
    std::vector<SplatPoint> all;
    for (const auto& batch : batches) all.insert(all.end(), batch.begin(), batch.end());

    splatformats::SPZSceneWriter writer(plykit::WriterDestination::memory());
    writer.start(std::int64_t(all.size()) + 10);  // closed early: the points written are saved
    for (const auto& batch : batches) writer.write(batch);
    writer.close();
    spz::Bytes expected = spz::saveSpz(cloudOf(all, 3), spz::PackOptions{spz::CoordinateSystem::rdf});
    EXPECT_EQ(*writer.writtenData(), expected);

    // A scene that stays at degree 0 has no harmonics at all.
    splatformats::SPZSceneWriter plain(plykit::WriterDestination::memory());
    plain.start(std::int64_t(batches[0].size()));
    plain.write(batches[0]);
    plain.close();
    EXPECT_EQ(*plain.writtenData(), spz::saveSpz(cloudOf(batches[0], 0), spz::PackOptions{spz::CoordinateSystem::rdf}));
}
