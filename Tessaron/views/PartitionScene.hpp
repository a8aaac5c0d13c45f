#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "partition/PartitionPlan.hpp"
#include "views/OrbitCamera.hpp"
#include "viewmodel/PointCloudCache.hpp"
#include "views/PointScene.hpp"

namespace tessaron::views {

using viewmodel::ParsedCloud;
using viewmodel::ParsedCloudPointer;

// The partition view's scene without any drawing: the cloud seen from above,
// split into one point set per centroid (the planner's live centroids, or
// the plan's), a label per planned cell, and the animations: the one turn
// when a plan arrives, the flash of cells that appear, the pulse of the cell
// being trained with the others dimmed. It rebuilds only when the set of
// centroids changes. Times are seconds of one monotonic clock passed in by
// the owner. GUI thread only.
class PartitionScene {
public:
    // A point on the ground plane in the cloud's world coordinates.
    using Centroid = partition::Point2D;

    // The ground rectangle to show: its centre and longer side.
    struct SceneFrame {
        double cx = 0;
        double cz = 0;
        double size = 0;
    };

    // One point set per centroid, in centroid order; `points` is null for a
    // centroid that no point is nearest to.
    struct CellNode {
        std::string name;
        PointSetPointer points;
        Vector3 position;  // the centroid at the cloud's mid height; scaling happens about it
        double opacity = 1.0;
        std::optional<double> pulseStart;
        std::optional<double> flashStart;
    };

    struct LabelNode {
        std::vector<std::string> lines;
        RGBColor color;
        Vector3 position;
        double height = 0;
        double aspect = 1;
        double opacity = 1.0;
    };

    // What the window gives the view.
    struct Inputs {
        std::shared_ptr<const partition::PartitionPlan> plan;
        std::optional<int> highlightedCellIndex;  // into plan->cells
        std::optional<std::vector<partition::Point2D>> progressCentroids;
    };

    // The width over height of the label image of these lines.
    using LabelAspect = std::function<double(const std::vector<std::string>&)>;

    static constexpr double dimmedOpacity = 0.35;
    static constexpr double pulseLowOpacity = 0.7;
    static constexpr double pulseHalfPeriod = 0.9;
    static constexpr double spinDuration = 1.2;
    static constexpr double cameraGlideDuration = 1.0;
    static constexpr double flashOverlayOpacity = 0.9;
    static constexpr double flashOverlayDuration = 0.6;
    static constexpr RGBColor unassignedColor{0.6, 0.6, 0.6};
    static const std::array<RGBColor, 12>& cellPalette();

    explicit PartitionScene(LabelAspect labelAspect);

    // The view's inputs before the cloud is there: recorded, nothing built.
    void setInitialInputs(const Inputs& inputs);
    // Builds the scene once; a second call does nothing and returns false.
    bool installCloud(ParsedCloudPointer cloud, double now);
    // New inputs: rebuilds what the centroids require, applies the
    // highlight; a plan arriving reframes the camera and turns the content
    // once.
    void update(const Inputs& inputs, double now);

    bool isInstalled() const { return installed_; }
    SceneFrame sceneFrame() const;
    PointSceneFrame frameAt(double now) const;
    // Whether anything moves at `now`, so that the view keeps drawing.
    bool isAnimating(double now) const;

    const std::vector<CellNode>& cellNodes() const { return cellNodes_; }
    const std::vector<LabelNode>& labelNodes() const { return labelNodes_; }
    const PointSetPointer& unassignedPoints() const { return unassigned_; }
    const std::string& lastSignature() const { return lastSignature_; }
    bool hasSpunForPlan() const { return hasSpunForPlan_; }
    std::optional<double> spinStart() const { return spinStart_; }
    std::optional<double> contentBumpStart() const { return contentBumpStart_; }
    int rebuildCount() const { return rebuildCount_; }
    OrbitCamera& camera() { return camera_; }
    const OrbitCamera& camera() const { return camera_; }
    const ParsedCloudPointer& cloud() const { return cloud_; }

    // Opacities and scales of one moment.
    double cellOpacityAt(std::size_t index, double now) const;
    double cellScaleAt(std::size_t index, double now) const;
    double contentScaleAt(double now) const;
    double contentTurnAt(double now) const;

    static std::vector<Centroid> planCentroids(const partition::PartitionPlan& plan);
    // For each centroid the positions of the points nearest to it on the
    // ground plane; of equal distances the lower index wins.
    static std::vector<std::vector<Vector3>> assignPoints(const ParsedCloud& cloud,
                                                          const std::vector<Centroid>& centroids);
    static std::string signature(bool hasPlan, const std::vector<Centroid>& centroids);
    static std::vector<std::string> labelLines(const partition::PartitionCell& cell);
    // The plan's index of the `ordinal`-th trainable cell (counted from 0,
    // in plan order) that the trainer works on; none when the plan has
    // fewer than 2 cells or the ordinal is out of range.
    static std::optional<int> trainingHighlight(const partition::PartitionPlan* plan, std::optional<int> ordinal);

private:
    void fitCamera(bool animated, double now);
    void applyDesiredState(double now);
    void rebuildCellPoints(const std::vector<Centroid>& centroids);
    void rebuildLabels(const std::vector<Centroid>& centroids);
    void applyHighlight(double now);
    splatrenderer::Matrix4 contentMatrixAt(double now) const;

    LabelAspect labelAspect_;
    OrbitCamera camera_;
    bool installed_ = false;
    ParsedCloudPointer cloud_;
    Vector3 contentCentre_;
    PointSetPointer unassigned_;
    std::vector<CellNode> cellNodes_;
    std::vector<LabelNode> labelNodes_;
    Inputs desired_;
    std::string lastSignature_;
    std::vector<Centroid> lastCentroids_;
    bool hasSpunForPlan_ = false;
    std::optional<double> spinStart_;
    std::optional<double> contentBumpStart_;
    int rebuildCount_ = 0;
};

}  // namespace tessaron::views
