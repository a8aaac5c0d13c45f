#include <gtest/gtest.h>

#include "spz/CoordinateSystem.hpp"

using spz::CoordinateSystem;

TEST(CoordinateSystem, RubToRdfFlipsYAndZ) {
    auto converter = spz::coordinateConverter(CoordinateSystem::rub, CoordinateSystem::rdf);
    EXPECT_EQ(converter.flipP, (std::array<float, 3>{1, -1, -1}));
    EXPECT_EQ(converter.flipQ, (std::array<float, 3>{1, -1, -1}));
    EXPECT_EQ(converter.flipSh,
              (std::array<float, 15>{-1, -1, 1, -1, 1, 1, -1, 1, -1, 1, -1, -1, 1, -1, 1}));
    auto back = spz::coordinateConverter(CoordinateSystem::rdf, CoordinateSystem::rub);
    EXPECT_EQ(back.flipP, converter.flipP);
    EXPECT_EQ(back.flipQ, converter.flipQ);
    EXPECT_EQ(back.flipSh, converter.flipSh);
}

TEST(CoordinateSystem, UnspecifiedOrEqualSystemsGiveTheIdentity) {
    const spz::CoordinateConverter identity;
    for (int raw = 0; raw <= 8; ++raw) {
        auto system = *spz::coordinateSystemFromRawValue(raw);
        for (auto [from, to] : {std::pair{system, system}, std::pair{CoordinateSystem::unspecified, system},
                                std::pair{system, CoordinateSystem::unspecified}}) {
            auto converter = spz::coordinateConverter(from, to);
            EXPECT_EQ(converter.flipP, identity.flipP);
            EXPECT_EQ(converter.flipQ, identity.flipQ);
            EXPECT_EQ(converter.flipSh, identity.flipSh);
        }
    }
}

TEST(CoordinateSystem, LeftDownFrontAgainstRightUpBackFlipsEveryAxis) {
    auto converter = spz::coordinateConverter(CoordinateSystem::ldf, CoordinateSystem::rub);
    EXPECT_EQ(converter.flipP, (std::array<float, 3>{-1, -1, -1}));
    EXPECT_EQ(converter.flipQ, (std::array<float, 3>{1, 1, 1}));
    EXPECT_EQ(converter.flipSh[9], -1.0f);  // sx·sy·sz
}
