#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "trevik/NeighbourTree.hpp"

using tessaron::trevik::NeighbourTree;
using tessaron::trevik::Point3;

namespace {

std::vector<double> bruteForce(const std::vector<Point3>& points, size_t index, size_t count) {
    std::vector<double> distances;
    for (size_t other = 0; other < points.size(); ++other) {
        if (other == index) continue;
        double dx = points[index][0] - points[other][0], dy = points[index][1] - points[other][1],
               dz = points[index][2] - points[other][2];
        distances.push_back(dx * dx + dy * dy + dz * dz);
    }
    std::sort(distances.begin(), distances.end());
    distances.resize(std::min(distances.size(), count));
    return distances;
}

struct Cloud {
    const char* name;
    std::vector<Point3> (*make)();
};

std::vector<Point3> uniformCube() {
    std::mt19937 generator(7);
    std::uniform_real_distribution<double> coordinate(-5, 5);
    std::vector<Point3> points(1200);
    for (auto& point : points) point = {coordinate(generator), coordinate(generator), coordinate(generator)};
    return points;
}

// Dense clusters, far outliers and exact duplicates: what SfM clouds look like.
std::vector<Point3> clustersWithDuplicates() {
    std::mt19937 generator(11);
    std::normal_distribution<double> spread(0, 0.01);
    std::vector<Point3> points;
    for (int cluster = 0; cluster < 5; ++cluster)
        for (int index = 0; index < 300; ++index)
            points.push_back({cluster * 10 + spread(generator), spread(generator), spread(generator)});
    for (int index = 0; index < 50; ++index) points.push_back(points[size_t(index) * 7]);
    points.push_back({1e6, -1e6, 1e6});
    return points;
}

std::vector<Point3> collinear() {
    std::vector<Point3> points;
    for (int index = 0; index < 500; ++index) points.push_back({index * 0.5, 0, 0});
    return points;
}

std::vector<Point3> allIdentical() { return std::vector<Point3>(40, Point3{3, 3, 3}); }

class NeighbourTreeMatchesBruteForce : public ::testing::TestWithParam<Cloud> {};

void PrintTo(const Cloud& cloud, std::ostream* out) { *out << cloud.name; }

}  // namespace

TEST_P(NeighbourTreeMatchesBruteForce, ForEveryPointAndCount) {
    std::vector<Point3> points = GetParam().make();
    NeighbourTree tree(points);
    for (size_t count : {size_t(1), size_t(3), size_t(9)}) {
        for (size_t index = 0; index < points.size(); ++index) {
            std::vector<double> expected = bruteForce(points, index, count);
            std::vector<double> found = tree.nearestSquaredDistances(index, count);
            ASSERT_EQ(found.size(), expected.size()) << "point " << index;
            for (size_t rank = 0; rank < found.size(); ++rank)
                ASSERT_DOUBLE_EQ(found[rank], expected[rank]) << "point " << index << " rank " << rank;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clouds, NeighbourTreeMatchesBruteForce,
                         ::testing::Values(Cloud{"uniformCube", uniformCube},
                                           Cloud{"clustersWithDuplicates", clustersWithDuplicates},
                                           Cloud{"collinear", collinear}, Cloud{"allIdentical", allIdentical}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NeighbourTree, MeanDistancesAreTheSameOnAnyNumberOfThreads) {
    std::vector<Point3> points = clustersWithDuplicates();
    NeighbourTree tree(points);
    std::vector<double> single = tree.meanNeighbourDistances(3, 1);
    std::vector<double> many = tree.meanNeighbourDistances(3, 7);
    ASSERT_EQ(single.size(), points.size());
    EXPECT_EQ(single, many);
    std::vector<double> nearest = bruteForce(points, 0, 3);
    EXPECT_DOUBLE_EQ(single[0], (std::sqrt(nearest[0]) + std::sqrt(nearest[1]) + std::sqrt(nearest[2])) / 3);
}

TEST(NeighbourTree, SmallSetsHaveFewerNeighbours) {
    EXPECT_TRUE(NeighbourTree(std::vector<Point3>{}).meanNeighbourDistances(3).empty());

    std::vector<Point3> one{{1, 2, 3}};
    std::vector<double> alone = NeighbourTree(one).meanNeighbourDistances(3);
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_TRUE(std::isnan(alone[0]));

    std::vector<Point3> two{{0, 0, 0}, {0, 0, 4}};
    EXPECT_EQ(NeighbourTree(two).meanNeighbourDistances(3), (std::vector<double>{4, 4}));
}

TEST(NeighbourTree, RefusesMoreNeighboursThanItKeeps) {
    std::vector<Point3> points = uniformCube();
    NeighbourTree tree(points);
    EXPECT_THROW(tree.nearestSquaredDistances(0, NeighbourTree::maxNeighbours + 1), std::invalid_argument);
    EXPECT_THROW(tree.meanNeighbourDistances(NeighbourTree::maxNeighbours + 1), std::invalid_argument);
    EXPECT_EQ(tree.nearestSquaredDistances(0, NeighbourTree::maxNeighbours).size(), NeighbourTree::maxNeighbours);
}
