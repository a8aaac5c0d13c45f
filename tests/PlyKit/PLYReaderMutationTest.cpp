#include <gtest/gtest.h>

#include <random>

#include "PlyTestSupport.hpp"
#include "fuzz/PlyReaderFuzzInput.hpp"

using plykit::PLYElement;
using plykit::PLYHeader;
using Type = PLYHeader::PrimitivePropertyType;
using namespace plykit::testing;

namespace {

// A short, seeded run of the fuzz target's input path: valid files of every
// format, mutated byte by byte, must end in one of our errors or a result.
class PLYReaderMutations : public ::testing::TestWithParam<PLYHeader::Format> {};

TEST_P(PLYReaderMutations, MutatedFilesNeverCrash) {
    PLYHeader header{GetParam(),
                     "1.0",
                     {{"vertex", 3, {scalar("x", Type::float32), scalar("c", Type::uint8), scalar("d", Type::float64)}},
                      {"face", 2, {list("i", Type::uint8, Type::int32), list("s", Type::int16, Type::uint16)}},
                      {"empty", 0, {scalar("e", Type::int8)}}}};
    std::vector<PLYElement> elements = {
        PLYElement({1.5f, std::uint8_t(1), -1e300}), PLYElement({-2.0f, std::uint8_t(2), 0.0}),
        PLYElement({0.25f, std::uint8_t(3), 7.0}),
        PLYElement({std::vector<std::int32_t>{1, 2, 3}, std::vector<std::uint16_t>{65535}}),
        PLYElement({std::vector<std::int32_t>{}, std::vector<std::uint16_t>{}})};
    const auto original = writeToMemory(header, elements);

    std::mt19937 random(2024 + unsigned(GetParam()));
    const std::vector<std::uint8_t> interesting = {0x00, 0xFF, 0x80, 0x7F, '\n', '\r', ' ', '-', '9', 0xC3};
    for (int round = 0; round < 3000; ++round) {
        auto input = original;
        int edits = 1 + int(random() % 4);
        for (int e = 0; e < edits && !input.empty(); ++e) {
            std::size_t at = random() % input.size();
            switch (random() % 4) {
                case 0: input[at] = interesting[random() % interesting.size()]; break;
                case 1: input[at] = std::uint8_t(random()); break;
                case 2: input.insert(input.begin() + std::ptrdiff_t(at), std::uint8_t(random())); break;
                default: input.resize(at); break;
            }
        }
        plykit::fuzzing::consumePlyInput(input.data(), input.size());
    }
    plykit::fuzzing::consumePlyInput(original.data(), original.size());
}

INSTANTIATE_TEST_SUITE_P(AllFormats, PLYReaderMutations,
                         ::testing::Values(PLYHeader::Format::ascii, PLYHeader::Format::binaryLittleEndian,
                                           PLYHeader::Format::binaryBigEndian));

}  // namespace
