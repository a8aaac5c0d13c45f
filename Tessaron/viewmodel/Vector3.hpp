#pragma once

#include <cmath>

namespace tessaron::viewmodel {

// A point or direction in a model's world coordinates, as the loaded
// clouds hold them and the 3D views draw them.
struct Vector3 {
    double x = 0;
    double y = 0;
    double z = 0;

    bool operator==(const Vector3&) const = default;
    Vector3 operator+(const Vector3& other) const { return {x + other.x, y + other.y, z + other.z}; }
    Vector3 operator-(const Vector3& other) const { return {x - other.x, y - other.y, z - other.z}; }
    Vector3 operator*(double factor) const { return {x * factor, y * factor, z * factor}; }
    double dot(const Vector3& other) const { return x * other.x + y * other.y + z * other.z; }
    Vector3 cross(const Vector3& other) const {
        return {y * other.z - z * other.y, z * other.x - x * other.z, x * other.y - y * other.x};
    }
    double length() const { return std::sqrt(dot(*this)); }
    Vector3 normalized() const {
        const double norm = length();
        return norm > 0 ? *this * (1 / norm) : *this;
    }
};

}  // namespace tessaron::viewmodel
