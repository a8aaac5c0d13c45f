#include "spz/PackedGaussians.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>

#include <libdeflate.h>

#include "core/AtomicFile.hpp"
#include "core/HugePages.hpp"
#include "spz/Gzip.hpp"
#include "spz/GzipInflater.hpp"
#include "spz/LittleEndian.hpp"
#include "spz/SPZError.hpp"

namespace spz {

namespace {

SpzHeader headerOf(const PackedGaussians& packed) {
    SpzHeader header;
    header.numPoints = std::uint32_t(packed.numPoints);
    header.shDegree = packed.shDegree;
    header.fractionalBits = packed.fractionalBits;
    header.antialiased = packed.antialiased;
    return header;
}

void append(Bytes& stream, const Bytes& array) { stream.insert(stream.end(), array.begin(), array.end()); }

// Fills the six arrays in stream order from `read`, which returns how many
// bytes it could place; a short read means the stream ends too early.
template <typename Read>
PackedGaussians readArrays(const SpzHeader& header, Read&& read) {
    PackedGaussians packed;
    static_cast<PackedStreamValues&>(packed) = PackedStreamValues::of(header);

    std::size_t needed = header.streamLength();
    std::size_t filled = SpzHeader::byteCount;
    auto fill = [&](Bytes& array, std::size_t bytesPerPoint) {
        array.resize(std::size_t(header.numPoints) * bytesPerPoint);
        std::size_t count = read(std::span(array));
        filled += count;
        if (count < array.size())
            throw SPZError::readError("the header asks for " + std::to_string(needed) + " bytes, the stream has " +
                                      std::to_string(filled));
    };
    fill(packed.positions, header.positionBytesPerPoint());
    fill(packed.alphas, 1);
    fill(packed.colors, 3);
    fill(packed.scales, 3);
    fill(packed.rotations, header.rotationBytesPerPoint());
    fill(packed.sh, header.shBytesPerPoint());
    return packed;
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const noexcept { libdeflate_free_decompressor(decompressor); }
};

// The arrays of `header` as they follow it in `stream`, which is long enough.
PackedArraysView arraysIn(std::span<const std::uint8_t> stream, const SpzHeader& header) {
    PackedArraysView view;
    static_cast<PackedStreamValues&>(view) = PackedStreamValues::of(header);
    std::size_t offset = SpzHeader::byteCount;
    auto next = [&](std::size_t bytesPerPoint) {
        auto array = stream.subspan(offset, std::size_t(header.numPoints) * bytesPerPoint);
        offset += array.size();
        return array;
    };
    view.positions = next(header.positionBytesPerPoint());
    view.alphas = next(1);
    view.colors = next(3);
    view.scales = next(3);
    view.rotations = next(header.rotationBytesPerPoint());
    view.sh = next(header.shBytesPerPoint());
    return view;
}

// The whole stream inflated at once into one buffer of the size the header
// and the gzip trailer announce, the arrays left in it. None when libdeflate
// refuses or the trailer disagrees: the streaming inflater then goes over the
// file again and names the fault as it always has.
std::optional<PackedArraysView> inflateWhole(std::span<const std::uint8_t> file, const GzipInflater& inflater,
                                             const SpzHeader& header) {
    std::span<const std::uint8_t> data = file.subspan(inflater.deflateStart());
    std::size_t needed = header.streamLength();
    std::size_t capacity = needed;
    // Bytes beyond the arrays are allowed; the trailer's length says how many.
    if (inflater.isGzip()) capacity = std::max<std::size_t>(needed, readUInt32(file.data() + file.size() - 4));
    if (capacity > SpzHeader::largestStreamSize) return std::nullopt;

    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(libdeflate_alloc_decompressor());
    if (!decompressor) return std::nullopt;
    auto stream = std::make_shared_for_overwrite<std::uint8_t[]>(capacity);
    tessaron::core::adviseHugePages(stream.get(), capacity);
    std::size_t inputUsed = 0;
    std::size_t produced = 0;
    auto result = libdeflate_deflate_decompress_ex(decompressor.get(), data.data(), data.size(), stream.get(), capacity,
                                                   &inputUsed, &produced);
    if (result != LIBDEFLATE_SUCCESS || produced < needed) return std::nullopt;
    std::span<const std::uint8_t> inflated(stream.get(), produced);
    if (inflater.isGzip()) {
        if (data.size() - inputUsed < 8) return std::nullopt;
        const std::uint8_t* trailer = data.data() + inputUsed;
        if (readUInt32(trailer) != crc32(inflated) || readUInt32(trailer + 4) != std::uint32_t(produced)) return std::nullopt;
    }
    PackedArraysView view = arraysIn(inflated, header);
    view.owner = std::move(stream);
    return view;
}

PackedArraysView viewOf(std::shared_ptr<const PackedGaussians> packed) {
    PackedArraysView view;
    static_cast<PackedStreamValues&>(view) = *packed;
    view.positions = packed->positions;
    view.scales = packed->scales;
    view.rotations = packed->rotations;
    view.alphas = packed->alphas;
    view.colors = packed->colors;
    view.sh = packed->sh;
    view.owner = std::move(packed);
    return view;
}

Bytes copied(std::span<const std::uint8_t> array) { return {array.begin(), array.end()}; }

}  // namespace

PackedStreamValues PackedStreamValues::of(const SpzHeader& header) noexcept {
    return {std::int32_t(header.numPoints), header.shDegree, header.fractionalBits, header.antialiased,
            header.version >= 3};
}

bool PackedGaussians::checkSizes() const noexcept {
    if (numPoints < 0) return false;
    std::size_t count = std::size_t(numPoints);
    std::size_t shBytes = count * 3 * std::size_t(SpzHeader::shDimension(shDegree));
    return (positions.size() == count * 6 || positions.size() == count * 9) && scales.size() == count * 3 &&
           colors.size() == count * 3 && (rotations.size() == count * 4 || rotations.size() == count * 3) &&
           alphas.size() == count && sh.size() == shBytes;
}

PackedGaussian PackedGaussians::at(std::int32_t index) const {
    PackedGaussian point;
    std::size_t i = std::size_t(index);
    std::size_t positionWidth = usesFloat16() ? 6 : 9;
    std::copy_n(positions.begin() + std::ptrdiff_t(i * positionWidth), positionWidth, point.position.begin());
    std::copy_n(scales.begin() + std::ptrdiff_t(3 * i), 3, point.scale.begin());
    std::copy_n(colors.begin() + std::ptrdiff_t(3 * i), 3, point.color.begin());
    std::size_t rotationWidth = usesQuaternionSmallestThree ? 4 : 3;
    std::copy_n(rotations.begin() + std::ptrdiff_t(i * rotationWidth), rotationWidth, point.rotation.begin());
    point.alpha = alphas[i];
    std::size_t dimension = std::size_t(SpzHeader::shDimension(shDegree));
    point.shR.fill(128);
    point.shG.fill(128);
    point.shB.fill(128);
    const std::uint8_t* coefficients = sh.data() + 3 * dimension * i;
    for (std::size_t k = 0; k < dimension; ++k) {
        point.shR[k] = coefficients[3 * k];
        point.shG[k] = coefficients[3 * k + 1];
        point.shB[k] = coefficients[3 * k + 2];
    }
    return point;
}

UnpackedGaussian PackedGaussians::unpack(std::int32_t index, const CoordinateConverter& converter) const {
    return at(index).unpack(usesFloat16(), usesQuaternionSmallestThree, fractionalBits, converter);
}

PackedGaussians deserializePackedGaussians(std::span<const std::uint8_t> stream) {
    SpzHeader header = SpzHeader::parse(stream);
    std::size_t offset = SpzHeader::byteCount;
    return readArrays(header, [&](std::span<std::uint8_t> destination) {
        std::size_t count = std::min(destination.size(), stream.size() - offset);
        std::copy_n(stream.begin() + std::ptrdiff_t(offset), count, destination.begin());
        offset += count;
        return count;
    });
}

Bytes serializePackedGaussians(const PackedGaussians& packed) {
    Bytes stream;
    stream.reserve(SpzHeader::byteCount + packed.positions.size() + packed.alphas.size() + packed.colors.size() +
                   packed.scales.size() + packed.rotations.size() + packed.sh.size());
    tessaron::core::adviseHugePages(stream.data(), stream.capacity());
    headerOf(packed).appendTo(stream);
    append(stream, packed.positions);
    append(stream, packed.alphas);
    append(stream, packed.colors);
    append(stream, packed.scales);
    append(stream, packed.rotations);
    append(stream, packed.sh);
    return stream;
}

PackedArraysView loadSpzArrays(std::span<const std::uint8_t> file) {
    // Version 4 files carry their header uncompressed (their arrays are
    // compressed otherwise): name the version rather than fail to inflate.
    if (file.size() >= 8 && readUInt32(file.data()) == SpzHeader::magic) {
        std::uint32_t version = readUInt32(file.data() + 4);
        if (version < 1 || version > 3) throw SPZError::unsupportedVersion(version);
    }
    GzipInflater inflater(file, SpzHeader::largestStreamSize);
    std::array<std::uint8_t, SpzHeader::byteCount> headerBytes{};
    std::size_t headerCount = inflater.read(headerBytes);
    SpzHeader header = SpzHeader::parse(std::span(headerBytes).first(headerCount));
    if (auto view = inflateWhole(file, inflater, header)) return std::move(*view);
    // The arrays are inflated in place, each sized by the checked header.
    auto packed = std::make_shared<PackedGaussians>(
        readArrays(header, [&](std::span<std::uint8_t> destination) { return inflater.read(destination); }));
    inflater.finish();
    return viewOf(std::move(packed));
}

PackedArraysView loadSpzArrays(const std::filesystem::path& path) {
    return loadSpzArrays(tessaron::core::readWholeFileBytes(path, SpzHeader::largestFileSize));
}

PackedGaussians loadSpzPacked(std::span<const std::uint8_t> file) {
    PackedArraysView view = loadSpzArrays(file);
    PackedGaussians packed;
    static_cast<PackedStreamValues&>(packed) = view;
    packed.positions = copied(view.positions);
    packed.scales = copied(view.scales);
    packed.rotations = copied(view.rotations);
    packed.alphas = copied(view.alphas);
    packed.colors = copied(view.colors);
    packed.sh = copied(view.sh);
    return packed;
}

PackedGaussians loadSpzPacked(const std::filesystem::path& path) {
    return loadSpzPacked(tessaron::core::readWholeFileBytes(path, SpzHeader::largestFileSize));
}

}  // namespace spz
