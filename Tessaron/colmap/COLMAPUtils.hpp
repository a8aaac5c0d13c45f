#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "core/FileError.hpp"

namespace tessaron::colmap {

// One camera of cameras.bin.
struct CameraModel {
    int32_t cameraId = 0;
    int32_t modelId = 0;
    uint64_t width = 0;
    uint64_t height = 0;
    std::vector<double> params;  // count follows from modelId

    bool operator==(const CameraModel&) const = default;
};

// One registered image of images.bin; rotation and translation map world to
// camera, quaternion scalar first.
struct ImageModel {
    static constexpr uint64_t kNoPoint3D = UINT64_MAX;  // COLMAP's -1

    struct Point2D {
        double x = 0;
        double y = 0;
        uint64_t point3D_id = kNoPoint3D;
        bool operator==(const Point2D&) const = default;
    };

    int32_t imageId = 0;
    double qw = 1, qx = 0, qy = 0, qz = 0;
    double tx = 0, ty = 0, tz = 0;
    int32_t cameraId = 0;
    // The file's path below the images folder, as the bytes the model holds
    // (not necessarily UTF-8); decode it only to show it.
    std::string name;
    std::vector<Point2D> points2D;

    bool operator==(const ImageModel&) const = default;
};

// One point of points3D.bin.
struct Point3DModel {
    struct Track {
        int32_t imageId = 0;
        int32_t point2DIdx = 0;
        bool operator==(const Track&) const = default;
    };

    uint64_t point3D_id = 0;
    double x = 0, y = 0, z = 0;
    uint8_t r = 0, g = 0, b = 0;
    double error = 0;
    std::vector<Track> track;

    bool operator==(const Point3DModel&) const = default;
};

using CameraMap = std::map<int32_t, CameraModel>;
using ImageMap = std::map<int32_t, ImageModel>;
using Point3DMap = std::map<uint64_t, Point3DModel>;

// The three maps of one model folder.
struct COLMAPModel {
    CameraMap cameras;
    ImageMap images;
    Point3DMap points3D;

    bool operator==(const COLMAPModel&) const = default;
};

// Reader and writer of COLMAP's binary sparse models (cameras.bin,
// images.bin, points3D.bin): little-endian, packed, each file a UInt64 count
// and that many records. Stateless; safe from any thread.
//
// Every count and length taken from a file is checked against the bytes that
// remain before anything is allocated for it, so a damaged or hostile file
// costs at most its own size in memory.
// One point of points3D.bin without its colour, error and track.
struct PointPosition {
    uint64_t point3D_id = 0;
    double x = 0, y = 0, z = 0;

    bool operator==(const PointPosition&) const = default;
};

class COLMAPUtils {
public:
    enum class ParseErrorKind { truncated, unsupportedCameraModel };

    // truncated: "COLMAP file is truncated (needs <need> bytes at offset
    // <offset>, has <have>)", where have is the whole file's size;
    // unsupportedCameraModel: "Unsupported COLMAP camera model <id>", code 1
    // of the "COLMAPUtils" domain.
    class ParseError : public core::ErrorOf<ParseErrorKind> {
    public:
        static ParseError truncated(int64_t offset, int64_t need, int64_t have);
        static ParseError unsupportedCameraModel(int32_t modelId);

        static constexpr const char* domain = "COLMAPUtils";
        int64_t offset = 0, need = 0, have = 0;  // truncated
        int32_t modelId = 0;                     // unsupportedCameraModel
        int code = 0;                            // 1 for unsupportedCameraModel

    private:
        using core::ErrorOf<ParseErrorKind>::ErrorOf;
    };

    // A file or folder could not be read or created. Writes fail with
    // core::AtomicFile::WriteError.
    using FileError = core::FileError;

    // Parameter count per camera model id 0...10 (SIMPLE_PINHOLE ...
    // THIN_PRISM_FISHEYE).
    static constexpr std::array<int, 11> cameraParameterCounts = {3, 4, 4, 5, 8, 8, 12, 5, 4, 5, 12};

    static CameraMap readCameras(const std::filesystem::path& file);
    static ImageMap readImages(const std::filesystem::path& file);
    static Point3DMap readPoints3D(const std::filesystem::path& file);
    // Only the ids and positions of points3D.bin, ascending by id (a later
    // record with the same id wins), without colours, errors or tracks: what
    // a live view of a growing model needs, at a fraction of the memory.
    static std::vector<PointPosition> readPointPositions(const std::filesystem::path& file);
    // cameras.bin, images.bin, points3D.bin of the folder, in that order;
    // the first error ends the read.
    static COLMAPModel readModel(const std::filesystem::path& folder);

    // An image name is a path below the images folder. A name that would
    // reach outside it (absolute, or with a ".." component) gets the message
    // that refuses it, naming the image; a name that stays inside gets none.
    static std::optional<std::string> imageNameOutsideFolder(const std::string& name);

    // Each file is built whole in memory and written atomically. A symbolic
    // link at the file's name is replaced by the file; what it names is left
    // untouched.
    static void writeCameras(const CameraMap& cameras, const std::filesystem::path& file);
    static void writeImages(const ImageMap& images, const std::filesystem::path& file);
    static void writePoints3D(const Point3DMap& points, const std::filesystem::path& file);
    // Creates the folder and its parents, then the three files in order.
    static void writeModel(const CameraMap& cameras, const ImageMap& images, const Point3DMap& points,
                           const std::filesystem::path& folder);
    static void writeModel(const COLMAPModel& model, const std::filesystem::path& folder);
};

}  // namespace tessaron::colmap
