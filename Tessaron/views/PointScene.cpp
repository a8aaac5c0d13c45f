#include "views/PointScene.hpp"

namespace tessaron::views {

using splatrenderer::Matrix4;

Matrix4 CameraPose::viewMatrix() const {
    const Vector3 back = (forward * -1).normalized();
    const Vector3 right = up.cross(back).normalized();
    const Vector3 trueUp = back.cross(right);
    Matrix4 view = Matrix4::identity();
    const Vector3 rows[3] = {right, trueUp, back};
    for (int row = 0; row < 3; ++row) {
        view(0, row) = float(rows[row].x);
        view(1, row) = float(rows[row].y);
        view(2, row) = float(rows[row].z);
        view(3, row) = float(-rows[row].dot(position));
    }
    return view;
}

Matrix4 CameraPose::projectionMatrix(double aspect) const {
    // OpenGL's usual perspective: depth from -1 (near) to 1 (far).
    const double focal = 1 / std::tan(verticalFieldOfViewRadians / 2);
    Matrix4 projection;
    projection(0, 0) = float(focal / std::max(aspect, 1e-9));
    projection(1, 1) = float(focal);
    projection(2, 2) = float((zFar + zNear) / (zNear - zFar));
    projection(2, 3) = -1;
    projection(3, 2) = float(2 * zFar * zNear / (zNear - zFar));
    return projection;
}

std::optional<CameraPose::Projection> CameraPose::project(const Vector3& point, double width, double height) const {
    const Vector3 back = (forward * -1).normalized();
    const Vector3 right = up.cross(back).normalized();
    const Vector3 trueUp = back.cross(right);
    const Vector3 relative = point - position;
    const double depth = -relative.dot(back);
    if (depth <= 0) return std::nullopt;
    const double scale = pixelsPerUnit(depth, height);
    return Projection{width / 2 + relative.dot(right) * scale, height / 2 - relative.dot(trueUp) * scale, depth};
}

double CameraPose::pixelsPerUnit(double depth, double height) const {
    return height / 2 / (std::tan(verticalFieldOfViewRadians / 2) * std::max(depth, 1e-12));
}

namespace transforms {

Matrix4 translation(const Vector3& offset) {
    Matrix4 matrix = Matrix4::identity();
    matrix(3, 0) = float(offset.x);
    matrix(3, 1) = float(offset.y);
    matrix(3, 2) = float(offset.z);
    return matrix;
}

Matrix4 scaling(double factor) {
    Matrix4 matrix = Matrix4::identity();
    matrix(0, 0) = matrix(1, 1) = matrix(2, 2) = float(factor);
    return matrix;
}

Matrix4 rotationY(double radians) {
    Matrix4 matrix = Matrix4::identity();
    const float cosine = float(std::cos(radians)), sine = float(std::sin(radians));
    matrix(0, 0) = cosine;
    matrix(0, 2) = -sine;
    matrix(2, 0) = sine;
    matrix(2, 2) = cosine;
    return matrix;
}

Matrix4 scalingAbout(const Vector3& centre, double factor) {
    return translation(centre) * scaling(factor) * translation(centre * -1);
}

Vector3 apply(const Matrix4& matrix, const Vector3& point) {
    auto row = [&](int r) {
        return double(matrix(0, r)) * point.x + double(matrix(1, r)) * point.y + double(matrix(2, r)) * point.z +
               double(matrix(3, r));
    };
    return {row(0), row(1), row(2)};
}

}  // namespace transforms

namespace easing {

double linear(double fraction) { return std::clamp(fraction, 0.0, 1.0); }

double easeOut(double fraction) {
    const double t = linear(fraction);
    return 1 - (1 - t) * (1 - t);
}

double easeInEaseOut(double fraction) {
    const double t = linear(fraction);
    return t * t * (3 - 2 * t);
}

}  // namespace easing

}  // namespace tessaron::views
