// States of the centre pane's 3D pictures on a made-up town: a ground of
// points with blocks of houses, as COLMAP would reconstruct it, shown by the
// partition view (as one cloud, split into planned cells, with a cell being
// trained) and by the live SfM view; and the SfM animation before the first
// snapshot. Pictures of a real COLMAP run come from the views3d_colmap test
// (TESSARON_SCREENSHOT_DIR).
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <random>
#include <stdexcept>

#include "ShotState.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/PartitionVisualizerView.hpp"
#include "views/SfMAnimationView.hpp"
#include "views/SfMLivePointCloudView.hpp"

namespace tessaron::shots {
namespace {

namespace fs = std::filesystem;
using viewmodel::PipelineViewModel;

constexpr int paneWidth = 900, paneHeight = 600;

// Ground points over 40 × 30 and 12 blocks of walls; heights along -Y, as
// COLMAP's frame has them when the cameras stand upright.
std::vector<colmap::Point3DModel> townPoints(int count) {
    std::mt19937 generator(7);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<colmap::Point3DModel> points;
    for (int index = 0; index < count; ++index) {
        colmap::Point3DModel point;
        point.point3D_id = uint64_t(index + 1);
        if (index % 3 == 0) {
            point.x = -20 + 40 * unit(generator);
            point.z = -15 + 30 * unit(generator);
            point.y = 0.05 * unit(generator);
        } else {
            const int block = index % 12;
            const double bx = -15 + 10 * (block % 4), bz = -10 + 10 * (block / 4);
            const double along = 4 * unit(generator) - 2;
            const bool xWall = unit(generator) < 0.5, nearSide = unit(generator) < 0.5;
            point.x = bx + (xWall ? along : (nearSide ? -2 : 2));
            point.z = bz + (xWall ? (nearSide ? -2 : 2) : along);
            point.y = -4 * unit(generator);
        }
        points.push_back(point);
    }
    return points;
}

void writeTown(const fs::path& sparse) {
    colmap::Point3DMap points;
    for (auto& point : townPoints(24000)) points[point.point3D_id] = point;
    colmap::COLMAPUtils::writeModel(sampleCameras(), sampleImages(8), points, sparse);
}

// Six cells of a 3 × 2 grid, as the planner would lay them out.
std::shared_ptr<const partition::PartitionPlan> townPlan() {
    auto plan = std::make_shared<partition::PartitionPlan>();
    plan->normalization = {0, 0, 0, 20};
    plan->sceneBounds = {-1, 1, -0.75, 0.75};
    std::vector<partition::Point2D> centroids;
    for (int row = 0; row < 2; ++row)
        for (int column = 0; column < 3; ++column) {
            const int index = row * 3 + column;
            centroids.push_back({-0.66 + 0.66 * column, -0.37 + 0.74 * row});
            partition::PartitionCell cell;
            cell.id = "cell_" + std::to_string(index);
            cell.imageCount = index == 4 ? 5 : 40;  // cell_4 is skipped
            cell.recommendedCapMax = 500'000 + 120'000 * index;
            cell.recommendedIterations = 30'000;
            cell.estimatedMemoryGB = 2.1 + 0.4 * index;
            plan->cells.push_back(cell);
        }
    plan->clusterCentroids = centroids;
    return plan;
}

struct PartitionStage {
    std::shared_ptr<QTemporaryDir> folder = std::make_shared<QTemporaryDir>();
    std::shared_ptr<PipelineViewModel> model;
    std::shared_ptr<views::PartitionVisualizerView> view;

    PartitionStage() {
        if (!folder->isValid()) throw std::runtime_error("no temporary folder");
        const fs::path root = folder->path().toStdString();
        writeTown(root / "model" / "sparse" / "0");
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = uint64_t(32) << 30;
        configuration.manager.supportFolder = root / "support";
        model = std::make_shared<PipelineViewModel>(configuration);
        model->setColmapDataURL(root / "model");
        view = std::make_shared<views::PartitionVisualizerView>(*model);
        view->resize(paneWidth, paneHeight);
        view->show();
        if (!waitUntil([&] { return view->isCloudInstalled(); })) throw std::runtime_error("the cloud did not load");
    }

    std::shared_ptr<QWidget> release() {
        return std::shared_ptr<QWidget>(view.get(), [view = view, model = model, folder = folder](QWidget*) mutable {
            view.reset();
            model.reset();
        });
    }
};

const ShotState::Registration cloud({"partition-cloud", "the sparse cloud of a made-up town before planning",
                                      [] { return PartitionStage().release(); }});

const ShotState::Registration plan({"partition-plan", "the town split into six planned cells with their labels",
                                     [] {
                                         PartitionStage stage;
                                         stage.model->setPartitionPlan(townPlan());
                                         waitUntil([] { return false; }, 1.5);  // the turn
                                         return stage.release();
                                     }});

const ShotState::Registration training(
    {"partition-training", "training the third trainable cell (cell_2): it pulses, the others are dimmed", [] {
         PartitionStage stage;
         stage.model->setPartitionPlan(townPlan());
         stage.view->setHighlightedCell(2);
         waitUntil([] { return false; }, 1.5);
         return stage.release();
     }});

const ShotState::Registration live({"sfm-live", "the live SfM cloud of the town, its newest points flashing", [] {
                                        auto view = std::make_shared<views::SfMLivePointCloudView>();
                                        view->resize(paneWidth, paneHeight);
                                        view->show();
                                        auto snapshot = std::make_shared<viewmodel::SfMLiveSnapshot>();
                                        snapshot->url = "/snapshots/1";
                                        for (const auto& point : townPoints(20000)) {
                                            snapshot->ids.push_back(point.point3D_id);
                                            snapshot->positions.push_back(
                                                {float(point.x), float(point.y), float(point.z)});
                                        }
                                        auto first = std::make_shared<viewmodel::SfMLiveSnapshot>(*snapshot);
                                        first->url = "/snapshots/0";
                                        first->ids.resize(14000);
                                        first->positions.resize(14000);
                                        view->setSnapshot(first);
                                        waitUntil([] { return false; }, 1.5);
                                        view->setSnapshot(snapshot);
                                        waitUntil([] { return false; }, 0.2);
                                        return std::shared_ptr<QWidget>(view);
                                    }});

const ShotState::Registration animation({"sfm-animation", "the SfM animation while COLMAP runs, on the dark pane", [] {
                                             auto pane = std::make_shared<QWidget>();
                                             pane->setAutoFillBackground(true);
                                             QPalette palette = pane->palette();
                                             palette.setColor(QPalette::Window, Qt::black);
                                             pane->setPalette(palette);
                                             auto* layout = new QVBoxLayout(pane.get());
                                             auto* view = new views::SfMAnimationView(pane.get());
                                             layout->addWidget(view);
                                             pane->resize(paneWidth, paneHeight);
                                             pane->show();
                                             view->setRunning(true);
                                             waitUntil([] { return false; }, 0.6);
                                             return pane;
                                         }});

}  // namespace
}  // namespace tessaron::shots
