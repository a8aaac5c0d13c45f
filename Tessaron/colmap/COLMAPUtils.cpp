#include "colmap/COLMAPUtils.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include "core/AtomicFile.hpp"
#include "core/RegularFile.hpp"
#include "core/TextDecoding.hpp"

namespace tessaron::colmap {

// The files are little-endian and packed; on a little-endian host the
// keypoint and track arrays are copied straight into the records.
static_assert(std::endian::native == std::endian::little, "COLMAP model I/O assumes a little-endian host");
static_assert(sizeof(ImageModel::Point2D) == 24 && offsetof(ImageModel::Point2D, point3D_id) == 16);
static_assert(sizeof(Point3DModel::Track) == 8 && offsetof(Point3DModel::Track, point2DIdx) == 4);
static_assert(std::is_trivially_copyable_v<ImageModel::Point2D> && std::is_trivially_copyable_v<Point3DModel::Track>);

COLMAPUtils::ParseError COLMAPUtils::ParseError::truncated(int64_t offset, int64_t need, int64_t have) {
    ParseError error(ParseErrorKind::truncated, "COLMAP file is truncated (needs " + std::to_string(need) +
                                                    " bytes at offset " + std::to_string(offset) + ", has " +
                                                    std::to_string(have) + ")");
    error.offset = offset;
    error.need = need;
    error.have = have;
    return error;
}

COLMAPUtils::ParseError COLMAPUtils::ParseError::unsupportedCameraModel(int32_t modelId) {
    ParseError error(ParseErrorKind::unsupportedCameraModel,
                     "Unsupported COLMAP camera model " + std::to_string(modelId));
    error.modelId = modelId;
    error.code = 1;
    return error;
}

namespace {

using ParseError = COLMAPUtils::ParseError;

struct FileBytes {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
};

// The whole file in one buffer, without zero-filling it first.
FileBytes readFileBytes(const std::filesystem::path& file) {
    auto opened = core::RegularFile::openForReading(file);
    if (!opened.isOpen()) throw core::FileError("Could not read", file, opened.error());
    const int descriptor = opened.descriptor();

    FileBytes bytes;
    size_t capacity = size_t(opened.size());
    bytes.data = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    while (bytes.size < capacity) {
        ssize_t count = ::read(descriptor, bytes.data.get() + bytes.size, capacity - bytes.size);
        if (count < 0) {
            if (errno == EINTR) continue;
            core::FileError::throwErrno("Could not read", file);
        }
        if (count == 0) break;  // shrank while we read: parse what is there
        bytes.size += size_t(count);
    }
    return bytes;
}

// A forward cursor whose every read is checked against the file's end. A
// failed read throws `truncated` for the field that did not fit and does not
// move the cursor.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    template <typename Value>
    Value read() {
        if (size_ - offset_ < sizeof(Value)) throw truncated(offset_, sizeof(Value));
        Value value;
        std::memcpy(&value, data_ + offset_, sizeof(Value));
        offset_ += sizeof(Value);
        return value;
    }

    // `count` packed elements made of `fieldSize`-byte fields. A count that
    // does not fit in the rest of the file fails exactly where reading field
    // by field would, before anything is allocated.
    template <typename Element>
    void readArray(std::vector<Element>& elements, uint64_t count, size_t fieldSize) {
        size_t remaining = size_ - offset_;
        if (count > remaining / sizeof(Element))
            throw truncated(offset_ + remaining / fieldSize * fieldSize, fieldSize);
        elements.resize(size_t(count));
        size_t length = size_t(count) * sizeof(Element);
        if (length > 0) std::memcpy(elements.data(), data_ + offset_, length);
        offset_ += length;
    }

    // Passes over `count` packed elements of `elementSize` bytes, checked
    // like readArray.
    void skipArray(uint64_t count, size_t elementSize, size_t fieldSize) {
        size_t remaining = size_ - offset_;
        if (count > remaining / elementSize) throw truncated(offset_ + remaining / fieldSize * fieldSize, fieldSize);
        offset_ += size_t(count) * elementSize;
    }

    // Bytes up to a zero byte, which is consumed.
    std::string_view readZeroTerminated() {
        const void* terminator = std::memchr(data_ + offset_, 0, size_ - offset_);
        if (terminator == nullptr) throw truncated(size_, 1);
        size_t length = size_t(static_cast<const uint8_t*>(terminator) - (data_ + offset_));
        std::string_view bytes(reinterpret_cast<const char*>(data_ + offset_), length);
        offset_ += length + 1;
        return bytes;
    }

private:
    ParseError truncated(size_t offset, size_t need) const {
        return ParseError::truncated(int64_t(offset), int64_t(need), int64_t(size_));
    }

    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// Reads the count and hands each record's reader the cursor; a later record
// with the same id replaces the earlier one.
template <typename Map, typename ReadRecord>
Map readRecords(const std::filesystem::path& file, ReadRecord readRecord) {
    FileBytes bytes = readFileBytes(file);
    ByteReader reader(bytes.data.get(), bytes.size);
    Map records;
    uint64_t count = reader.read<uint64_t>();
    for (uint64_t index = 0; index < count; ++index) {
        auto record = readRecord(reader);
        auto key = record.first;
        records.insert_or_assign(records.end(), key, std::move(record.second));
    }
    return records;
}

// Appends to a buffer sized exactly beforehand.
class ByteWriter {
public:
    explicit ByteWriter(size_t size) : buffer_(std::make_unique_for_overwrite<char[]>(size)) {}

    template <typename Value>
    void write(Value value) {
        std::memcpy(buffer_.get() + offset_, &value, sizeof(Value));
        offset_ += sizeof(Value);
    }

    void writeBytes(const void* bytes, size_t length) {
        if (length > 0) std::memcpy(buffer_.get() + offset_, bytes, length);
        offset_ += length;
    }

    // The model files' names are the model folder's own: a link planted at
    // one is replaced, and the file it names elsewhere is never written.
    void writeAtomically(const std::filesystem::path& file) const {
        core::AtomicFile::write(file, std::string_view(buffer_.get(), offset_),
                                core::AtomicFile::LinkAtTarget::replace);
    }

private:
    std::unique_ptr<char[]> buffer_;
    size_t offset_ = 0;
};

constexpr size_t cameraHeaderSize = 4 + 4 + 8 + 8;
constexpr size_t imageHeaderSize = 4 + 4 * 8 + 3 * 8 + 4;
constexpr size_t point3DHeaderSize = 8 + 3 * 8 + 3 + 8;

}  // namespace

CameraMap COLMAPUtils::readCameras(const std::filesystem::path& file) {
    return readRecords<CameraMap>(file, [](ByteReader& reader) {
        CameraModel camera;
        camera.cameraId = reader.read<int32_t>();
        camera.modelId = reader.read<int32_t>();
        camera.width = reader.read<uint64_t>();
        camera.height = reader.read<uint64_t>();
        if (camera.modelId < 0 || camera.modelId >= int32_t(cameraParameterCounts.size()))
            throw ParseError::unsupportedCameraModel(camera.modelId);
        reader.readArray(camera.params, uint64_t(cameraParameterCounts[size_t(camera.modelId)]), sizeof(double));
        return std::pair{camera.cameraId, std::move(camera)};
    });
}

ImageMap COLMAPUtils::readImages(const std::filesystem::path& file) {
    return readRecords<ImageMap>(file, [](ByteReader& reader) {
        ImageModel image;
        image.imageId = reader.read<int32_t>();
        image.qw = reader.read<double>();
        image.qx = reader.read<double>();
        image.qy = reader.read<double>();
        image.qz = reader.read<double>();
        image.tx = reader.read<double>();
        image.ty = reader.read<double>();
        image.tz = reader.read<double>();
        image.cameraId = reader.read<int32_t>();
        // The name is a path below the images folder: kept as the bytes COLMAP
        // wrote, so that a name that is not UTF-8 (Latin-1 "caf\xe9.jpg") still
        // finds its file. Shown names are decoded where they are shown.
        image.name = std::string(reader.readZeroTerminated());
        uint64_t keypointCount = reader.read<uint64_t>();
        reader.readArray(image.points2D, keypointCount, 8);
        return std::pair{image.imageId, std::move(image)};
    });
}

Point3DMap COLMAPUtils::readPoints3D(const std::filesystem::path& file) {
    return readRecords<Point3DMap>(file, [](ByteReader& reader) {
        Point3DModel point;
        point.point3D_id = reader.read<uint64_t>();
        point.x = reader.read<double>();
        point.y = reader.read<double>();
        point.z = reader.read<double>();
        point.r = reader.read<uint8_t>();
        point.g = reader.read<uint8_t>();
        point.b = reader.read<uint8_t>();
        point.error = reader.read<double>();
        uint64_t trackLength = reader.read<uint64_t>();
        reader.readArray(point.track, trackLength, 4);
        return std::pair{point.point3D_id, std::move(point)};
    });
}

std::vector<PointPosition> COLMAPUtils::readPointPositions(const std::filesystem::path& file) {
    FileBytes bytes = readFileBytes(file);
    ByteReader reader(bytes.data.get(), bytes.size);
    const uint64_t count = reader.read<uint64_t>();
    std::vector<PointPosition> points;
    // Each record takes at least its header, so the count is bounded by the
    // file before anything is reserved for it.
    points.reserve(size_t(std::min<uint64_t>(count, bytes.size / point3DHeaderSize)));
    for (uint64_t index = 0; index < count; ++index) {
        PointPosition point;
        point.point3D_id = reader.read<uint64_t>();
        point.x = reader.read<double>();
        point.y = reader.read<double>();
        point.z = reader.read<double>();
        for (int channel = 0; channel < 3; ++channel) reader.read<uint8_t>();  // colour
        reader.read<double>();                                                 // error
        reader.skipArray(reader.read<uint64_t>(), sizeof(Point3DModel::Track), 4);
        points.push_back(point);
    }
    // Stable, so that of equal ids the last record ends up last and is kept.
    std::stable_sort(points.begin(), points.end(),
                     [](const PointPosition& a, const PointPosition& b) { return a.point3D_id < b.point3D_id; });
    auto last = std::unique(points.rbegin(), points.rend(), [](const PointPosition& a, const PointPosition& b) {
        return a.point3D_id == b.point3D_id;
    });
    points.erase(points.begin(), last.base());
    return points;
}

COLMAPModel COLMAPUtils::readModel(const std::filesystem::path& folder) {
    COLMAPModel model;
    model.cameras = readCameras(folder / "cameras.bin");
    model.images = readImages(folder / "images.bin");
    model.points3D = readPoints3D(folder / "points3D.bin");
    return model;
}

void COLMAPUtils::writeCameras(const CameraMap& cameras, const std::filesystem::path& file) {
    size_t size = 8;
    for (const auto& [id, camera] : cameras) size += cameraHeaderSize + camera.params.size() * sizeof(double);
    ByteWriter writer(size);
    writer.write(uint64_t(cameras.size()));
    for (const auto& [id, camera] : cameras) {
        writer.write(camera.cameraId);
        writer.write(camera.modelId);
        writer.write(camera.width);
        writer.write(camera.height);
        writer.writeBytes(camera.params.data(), camera.params.size() * sizeof(double));
    }
    writer.writeAtomically(file);
}

void COLMAPUtils::writeImages(const ImageMap& images, const std::filesystem::path& file) {
    size_t size = 8;
    for (const auto& [id, image] : images)
        size += imageHeaderSize + image.name.size() + 1 + 8 + image.points2D.size() * sizeof(ImageModel::Point2D);
    ByteWriter writer(size);
    writer.write(uint64_t(images.size()));
    for (const auto& [id, image] : images) {
        writer.write(image.imageId);
        writer.write(image.qw);
        writer.write(image.qx);
        writer.write(image.qy);
        writer.write(image.qz);
        writer.write(image.tx);
        writer.write(image.ty);
        writer.write(image.tz);
        writer.write(image.cameraId);
        writer.writeBytes(image.name.data(), image.name.size());
        writer.write(uint8_t(0));
        writer.write(uint64_t(image.points2D.size()));
        writer.writeBytes(image.points2D.data(), image.points2D.size() * sizeof(ImageModel::Point2D));
    }
    writer.writeAtomically(file);
}

void COLMAPUtils::writePoints3D(const Point3DMap& points, const std::filesystem::path& file) {
    size_t size = 8;
    for (const auto& [id, point] : points)
        size += point3DHeaderSize + 8 + point.track.size() * sizeof(Point3DModel::Track);
    ByteWriter writer(size);
    writer.write(uint64_t(points.size()));
    for (const auto& [id, point] : points) {
        writer.write(point.point3D_id);
        writer.write(point.x);
        writer.write(point.y);
        writer.write(point.z);
        writer.write(point.r);
        writer.write(point.g);
        writer.write(point.b);
        writer.write(point.error);
        writer.write(uint64_t(point.track.size()));
        writer.writeBytes(point.track.data(), point.track.size() * sizeof(Point3DModel::Track));
    }
    writer.writeAtomically(file);
}

void COLMAPUtils::writeModel(const CameraMap& cameras, const ImageMap& images, const Point3DMap& points,
                             const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw core::FileError("Could not create folder", folder, error);
    writeCameras(cameras, folder / "cameras.bin");
    writeImages(images, folder / "images.bin");
    writePoints3D(points, folder / "points3D.bin");
}

void COLMAPUtils::writeModel(const COLMAPModel& model, const std::filesystem::path& folder) {
    writeModel(model.cameras, model.images, model.points3D, folder);
}

std::optional<std::string> COLMAPUtils::imageNameOutsideFolder(const std::string& name) {
    const std::string shown = "image \"" + core::decodeUTF8Lossy(name) + "\" in images.bin";
    if (name.starts_with('/')) return shown + " has an absolute path; an image must lie inside the images folder";
    for (size_t start = 0; start <= name.size();) {
        const size_t slash = std::min(name.find('/', start), name.size());
        if (std::string_view(name).substr(start, slash - start) == "..")
            return shown + " has a \"..\" component; an image must lie inside the images folder";
        start = slash + 1;
    }
    return std::nullopt;
}

}  // namespace tessaron::colmap
