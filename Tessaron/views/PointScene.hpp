#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SplatRenderer/Matrix4.hpp"
#include "viewmodel/Vector3.hpp"

namespace tessaron::views {

// What the 3D views draw, free of any GL: point sets in world coordinates,
// where and how each is placed in one frame, and the labels floating over
// them. The scenes (PartitionScene, SfMLiveScene) build these; the point
// scene widget only uploads and draws them.

using viewmodel::Vector3;

struct RGBColor {
    double red = 0;
    double green = 0;
    double blue = 0;

    bool operator==(const RGBColor&) const = default;
};

// One point geometry: every vertex in one colour, drawn as screen-space
// points of `pointSize` pixels, kept between the bounds of their on-screen
// radius. A set never changes once built, so the widget uploads it once.
struct PointSet {
    static constexpr double pointSize = 3.0;
    static constexpr double minimumScreenRadius = 1.5;
    static constexpr double maximumScreenRadius = 6.0;

    std::vector<Vector3> positions;
    RGBColor color;

    // The pixel diameter a point is drawn with.
    static double screenDiameter() {
        return std::clamp(pointSize, 2 * minimumScreenRadius, 2 * maximumScreenRadius);
    }
};

using PointSetPointer = std::shared_ptr<const PointSet>;

// A point set placed in one frame: its transform, opacity and blending.
struct PointLayer {
    PointSetPointer points;
    splatrenderer::Matrix4 model = splatrenderer::Matrix4::identity();
    double opacity = 1.0;
    bool additive = false;
};

// A label that faces the camera: a rounded text plate drawn over the points,
// `worldHeight` tall at `position` (already transformed).
struct LabelLayer {
    std::vector<std::string> lines;
    RGBColor color;
    Vector3 position;
    double worldHeight = 0;
    double aspect = 1;  // width over height
    double opacity = 1.0;
};

// Where the camera sits and which way it looks.
struct CameraPose {
    Vector3 position;
    Vector3 forward{0, 0, -1};
    Vector3 up{0, 1, 0};
    double zNear = 0.01;
    double zFar = 100;
    double verticalFieldOfViewRadians = M_PI / 3;

    // World to camera, then to clip space for a viewport of `aspect`.
    splatrenderer::Matrix4 viewMatrix() const;
    splatrenderer::Matrix4 projectionMatrix(double aspect) const;
    // Window coordinates (pixels from the top left) of a world point for a
    // viewport of width × height, and its distance along the view axis;
    // none for a point behind the camera.
    struct Projection {
        double x = 0;
        double y = 0;
        double depth = 0;
    };
    std::optional<Projection> project(const Vector3& point, double width, double height) const;
    // Pixels per world unit at `depth` for a viewport `height` pixels tall.
    double pixelsPerUnit(double depth, double height) const;
};

// Everything one frame draws.
struct PointSceneFrame {
    CameraPose camera;
    std::vector<PointLayer> points;
    std::vector<LabelLayer> labels;
};

namespace transforms {
splatrenderer::Matrix4 translation(const Vector3& offset);
splatrenderer::Matrix4 scaling(double factor);
// Turns about the world's vertical axis by `radians`.
splatrenderer::Matrix4 rotationY(double radians);
// Scales by `factor` about `centre`.
splatrenderer::Matrix4 scalingAbout(const Vector3& centre, double factor);
Vector3 apply(const splatrenderer::Matrix4& matrix, const Vector3& point);
}  // namespace transforms

namespace easing {
// Progress over [0, 1] with the usual timing curves.
double linear(double fraction);
double easeOut(double fraction);
double easeInEaseOut(double fraction);
}  // namespace easing

}  // namespace tessaron::views
