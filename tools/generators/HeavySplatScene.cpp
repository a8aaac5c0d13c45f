#include "generators/HeavySplatScene.hpp"

#include <cmath>
#include <random>

#include "SplatFormats/SplatPLYSceneWriter.hpp"

namespace tessaron::generators {

using splatformats::SplatPoint;

std::vector<SplatPoint> makeHeavySplatScene(const HeavySplatSceneOptions& options) {
    std::mt19937_64 generator(options.seed);
    std::uniform_real_distribution<float> unit(-1, 1);
    std::uniform_real_distribution<float> logScale(std::log(options.minimumScale), std::log(options.maximumScale));
    std::uniform_real_distribution<float> opacity(options.minimumOpacity, options.maximumOpacity);
    std::normal_distribution<float> normal(0, 1);
    std::uniform_real_distribution<float> colour(-1.2f, 1.2f);
    std::normal_distribution<float> higherOrder(0, 0.05f);
    const std::size_t triples = std::size_t((options.shDegree + 1) * (options.shDegree + 1));

    std::vector<SplatPoint> points;
    points.reserve(std::size_t(std::max<std::int64_t>(options.count, 0)));
    for (std::int64_t i = 0; i < options.count; ++i) {
        splatformats::Vector3 centre;
        do {
            centre = {unit(generator), unit(generator), unit(generator)};
        } while (centre[0] * centre[0] + centre[1] * centre[1] + centre[2] * centre[2] > 1);
        for (float& value : centre) value *= options.ballRadius;

        splatformats::SHCoefficients sh;
        sh.push_back({colour(generator), colour(generator), colour(generator)});
        for (std::size_t k = 1; k < triples; ++k)
            sh.push_back({higherOrder(generator), higherOrder(generator), higherOrder(generator)});

        splatformats::Quaternion rotation{normal(generator), normal(generator), normal(generator), normal(generator)};
        const float length = std::sqrt(rotation.x * rotation.x + rotation.y * rotation.y + rotation.z * rotation.z +
                                       rotation.w * rotation.w);
        if (length > 0) rotation = {rotation.x / length, rotation.y / length, rotation.z / length, rotation.w / length};

        const float alpha = opacity(generator);
        points.emplace_back(centre, SplatPoint::Color::sphericalHarmonicFloat(sh),
                            SplatPoint::Opacity::logitFloat(std::log(alpha / (1 - alpha))),
                            SplatPoint::Scale::exponent({logScale(generator), logScale(generator), logScale(generator)}),
                            rotation);
    }
    return points;
}

void writeHeavySplatScene(const std::filesystem::path& file, const HeavySplatSceneOptions& options) {
    const std::vector<SplatPoint> points = makeHeavySplatScene(options);
    splatformats::SplatPLYSceneWriter writer(file);
    writer.start(options.shDegree, true, std::int64_t(points.size()));
    writer.write(points);
    writer.close();
}

}  // namespace tessaron::generators
