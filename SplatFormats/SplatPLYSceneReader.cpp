#include "SplatFormats/SplatPLYSceneReader.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <variant>

#include "PlyKit/ByteCodec.hpp"
#include "PlyKit/PLYReader.hpp"

namespace splatformats {

namespace {

using plykit::PLYElement;
using plykit::PLYHeader;
using Type = PLYHeader::PrimitivePropertyType;
using IndexTriple = std::array<std::size_t, 3>;

std::string describe(SplatPLYSceneReader::ErrorKind kind, const std::optional<std::string>& message) {
    if (kind == SplatPLYSceneReader::ErrorKind::internalConsistency)
        return "Internal error in SplatPLYSceneReader: " + message.value_or("(unknown)");
    return message ? "Unexpected file contents for a splat PLY: " + *message : "Unexpected file contents for a splat PLY";
}

SplatPLYSceneReader::Error unsupported(const std::string& message) {
    return {SplatPLYSceneReader::ErrorKind::unsupportedFileContents, message};
}

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

// Where the point's fields sit in a vertex, found once from the header.
struct ElementInputMapping {
    enum class ColorKind { sphericalHarmonicFloat, sRGBFloat256, sRGBUInt8 };

    std::size_t elementTypeIndex = 0;
    IndexTriple position{};
    ColorKind colorKind = ColorKind::sphericalHarmonicFloat;
    std::vector<IndexTriple> color;  // 1 or 16 triples for SH; one for 8-bit colour
    IndexTriple scale{};
    std::size_t opacity = 0;
    std::array<std::size_t, 4> rotation{};  // rot_0 (real) to rot_3
};

// A scalar of `type` named `name`, none when absent; present with another
// type (or as a list) it is refused.
std::optional<std::size_t> optionalProperty(const PLYHeader::Element& element, const std::string& name, Type type) {
    auto index = element.index(name);
    if (!index) return std::nullopt;
    const auto& declared = element.properties[*index].type;
    if (declared.isList() || declared.valueType() != type) throw unsupported("Unexpected type for property " + quoted(name));
    return index;
}

std::size_t requiredProperty(const PLYHeader::Element& element, const std::string& name, Type type = Type::float32) {
    auto index = optionalProperty(element, name, type);
    if (!index) throw unsupported("No property named " + quoted(name) + " found");
    return *index;
}

bool hasScalar(const PLYHeader::Element& element, const std::string& name, Type type) {
    auto index = element.index(name);
    if (!index) return false;
    const auto& declared = element.properties[*index].type;
    return !declared.isList() && declared.valueType() == type;
}

ElementInputMapping buildMapping(const PLYHeader& header) {
    auto vertexIndex = header.index("vertex");
    if (!vertexIndex) throw unsupported("No element type " + quoted("vertex") + " found");
    const PLYHeader::Element& element = header.elements[*vertexIndex];

    ElementInputMapping mapping;
    mapping.elementTypeIndex = *vertexIndex;
    mapping.position = {requiredProperty(element, "x"), requiredProperty(element, "y"), requiredProperty(element, "z")};

    auto dc0 = optionalProperty(element, "f_dc_0", Type::float32);
    auto dc1 = optionalProperty(element, "f_dc_1", Type::float32);
    auto dc2 = optionalProperty(element, "f_dc_2", Type::float32);
    if (dc0 && dc1 && dc2) {
        mapping.colorKind = ElementInputMapping::ColorKind::sphericalHarmonicFloat;
        mapping.color.push_back({*dc0, *dc1, *dc2});
        if (element.index("f_rest_0")) {
            std::array<std::size_t, 45> rest{};
            for (std::size_t k = 0; k < 45; ++k) rest[k] = requiredProperty(element, "f_rest_" + std::to_string(k));
            // The file stores all red coefficients, then all green, then all blue.
            for (std::size_t i = 0; i < 15; ++i) mapping.color.push_back({rest[i], rest[i + 15], rest[i + 30]});
        }
    } else if (hasScalar(element, "red", Type::float32) && hasScalar(element, "green", Type::float32) &&
               hasScalar(element, "blue", Type::float32)) {
        mapping.colorKind = ElementInputMapping::ColorKind::sRGBFloat256;
        mapping.color.push_back({*element.index("red"), *element.index("green"), *element.index("blue")});
    } else if (hasScalar(element, "red", Type::uint8) && hasScalar(element, "green", Type::uint8) &&
               hasScalar(element, "blue", Type::uint8)) {
        mapping.colorKind = ElementInputMapping::ColorKind::sRGBUInt8;
        mapping.color.push_back({*element.index("red"), *element.index("green"), *element.index("blue")});
    } else {
        throw unsupported("No color property elements found with the expected types");
    }

    mapping.scale = {requiredProperty(element, "scale_0"), requiredProperty(element, "scale_1"),
                     requiredProperty(element, "scale_2")};
    mapping.opacity = requiredProperty(element, "opacity");
    mapping.rotation = {requiredProperty(element, "rot_0"), requiredProperty(element, "rot_1"),
                        requiredProperty(element, "rot_2"), requiredProperty(element, "rot_3")};
    return mapping;
}

template <typename T>
inline T valueAt(const PLYElement& element, std::size_t index) {
    const T* value = index < element.properties.size() ? std::get_if<T>(&element.properties[index].value()) : nullptr;
    if (!value)
        throw SplatPLYSceneReader::Error(SplatPLYSceneReader::ErrorKind::internalConsistency,
                                         "Unexpected type for property at index " + std::to_string(index));
    return *value;
}

Vector3 floatTriple(const PLYElement& element, const IndexTriple& indices) {
    return {valueAt<float>(element, indices[0]), valueAt<float>(element, indices[1]), valueAt<float>(element, indices[2])};
}

// A 0-256 scale onto 0-255, in this order of operations.
std::uint8_t byteFrom256Scale(float value) { return truncateToByte(value * 0.00390625f * 255.0f); }

SplatPoint::Color convertColor(const PLYElement& element, const ElementInputMapping& mapping) {
    switch (mapping.colorKind) {
        case ElementInputMapping::ColorKind::sphericalHarmonicFloat: {
            SHCoefficients triples;
            for (const auto& indices : mapping.color) triples.push_back(floatTriple(element, indices));
            return SplatPoint::Color::sphericalHarmonicFloat(triples);
        }
        case ElementInputMapping::ColorKind::sRGBFloat256: {
            Vector3 values = floatTriple(element, mapping.color[0]);
            return SplatPoint::Color::sRGBUInt8(
                {byteFrom256Scale(values[0]), byteFrom256Scale(values[1]), byteFrom256Scale(values[2])});
        }
        case ElementInputMapping::ColorKind::sRGBUInt8: {
            const IndexTriple& indices = mapping.color[0];
            return SplatPoint::Color::sRGBUInt8({valueAt<std::uint8_t>(element, indices[0]),
                                                 valueAt<std::uint8_t>(element, indices[1]),
                                                 valueAt<std::uint8_t>(element, indices[2])});
        }
    }
    throw SplatPLYSceneReader::Error(SplatPLYSceneReader::ErrorKind::internalConsistency, "Unknown colour mapping");
}

// Appends the point of one vertex, built in place.
void appendPoint(const PLYElement& element, const ElementInputMapping& mapping, SplatBatch& batch) {
    Quaternion rotation{valueAt<float>(element, mapping.rotation[1]), valueAt<float>(element, mapping.rotation[2]),
                        valueAt<float>(element, mapping.rotation[3]), valueAt<float>(element, mapping.rotation[0])};
    batch.emplace_back(floatTriple(element, mapping.position), convertColor(element, mapping),
                       SplatPoint::Opacity::logitFloat(valueAt<float>(element, mapping.opacity)),
                       SplatPoint::Scale::exponent(floatTriple(element, mapping.scale)), rotation);
}

// Byte offsets inside one vertex of the float fields of a point with a
// harmonic colour, in the point's order: rotation x, y, z, w; triples with
// their channels adjacent.
struct HarmonicOffsets {
    std::array<std::uint32_t, 3> position{};
    std::array<std::uint32_t, 3 * SHCoefficients::capacity> sh{};
    std::uint32_t shTriples = 0;
    std::uint32_t opacity = 0;
    std::array<std::uint32_t, 3> scale{};
    std::array<std::uint32_t, 4> rotation{};
    std::uint32_t stride = 0;
    bool operator==(const HarmonicOffsets&) const = default;
};

// The layout trainers write: x y z nx ny nz f_dc_0..2 f_rest_0..44 opacity
// scale_0..2 rot_0..3, all float. Known at compile time, so the decoding of
// such a file runs on constant offsets.
constexpr HarmonicOffsets commonGaussianLayout() {
    HarmonicOffsets offsets;
    offsets.position = {0, 4, 8};
    for (std::uint32_t channel = 0; channel < 3; ++channel) offsets.sh[channel] = 24 + 4 * channel;
    for (std::uint32_t triple = 1; triple < 16; ++triple)
        for (std::uint32_t channel = 0; channel < 3; ++channel)
            offsets.sh[3 * triple + channel] = 36 + 4 * (channel * 15 + triple - 1);
    offsets.shTriples = 16;
    offsets.opacity = 216;
    offsets.scale = {220, 224, 228};
    offsets.rotation = {236, 240, 244, 232};
    offsets.stride = 248;
    return offsets;
}
constexpr HarmonicOffsets commonLayout = commonGaussianLayout();

template <bool swap>
inline float floatAt(const std::uint8_t* vertex, std::size_t offset) {
    std::uint32_t bits;
    std::memcpy(&bits, vertex + offset, sizeof bits);
    if constexpr (swap) bits = __builtin_bswap32(bits);
    return std::bit_cast<float>(bits);
}

// Appends the points of `count` vertices at `bytes`: each one a copy of a
// point of the right kinds, whose fields are then overwritten in place, so
// no field is built aside and copied. `common`: the offsets are those of
// commonLayout, so they fold into the instructions.
template <bool swap, bool common>
[[gnu::always_inline]] inline void appendHarmonicPoints(const HarmonicOffsets& offsets, const std::uint8_t* bytes,
                                                        std::size_t count, SplatBatch& batch) {
    SHCoefficients zeros;
    zeros.resize(offsets.shTriples);
    const SplatPoint prototype({}, SplatPoint::Color::sphericalHarmonicFloat(zeros), SplatPoint::Opacity::logitFloat(0),
                               SplatPoint::Scale::exponent({}), Quaternion{});
    batch.reserve(batch.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* vertex = bytes + i * offsets.stride;
        SplatPoint& point = batch.emplace_back(prototype);
        for (std::size_t axis = 0; axis < 3; ++axis) point.position[axis] = floatAt<swap>(vertex, offsets.position[axis]);
        float* sh = point.color.sphericalHarmonicsInPlace().data()->data();
        if constexpr (common) {
            // The file holds each channel's 15 higher-order coefficients in
            // a row; the point interleaves them by triple.
            for (std::size_t channel = 0; channel < 3; ++channel) sh[channel] = floatAt<swap>(vertex, 24 + 4 * channel);
            const std::uint8_t* rest = vertex + 36;
#pragma GCC unroll 15
            for (std::size_t k = 0; k < 15; ++k) {
                sh[3 + 3 * k] = floatAt<swap>(rest, 4 * k);
                sh[4 + 3 * k] = floatAt<swap>(rest, 4 * (15 + k));
                sh[5 + 3 * k] = floatAt<swap>(rest, 4 * (30 + k));
            }
        } else {
            for (std::size_t k = 0; k < 3 * std::size_t(offsets.shTriples); ++k)
                sh[k] = floatAt<swap>(vertex, offsets.sh[k]);
        }
        point.opacity = SplatPoint::Opacity::logitFloat(floatAt<swap>(vertex, offsets.opacity));
        point.scale = SplatPoint::Scale::exponent({floatAt<swap>(vertex, offsets.scale[0]),
                                                   floatAt<swap>(vertex, offsets.scale[1]),
                                                   floatAt<swap>(vertex, offsets.scale[2])});
        point.rotation = {floatAt<swap>(vertex, offsets.rotation[0]), floatAt<swap>(vertex, offsets.rotation[1]),
                          floatAt<swap>(vertex, offsets.rotation[2]), floatAt<swap>(vertex, offsets.rotation[3])};
    }
}

// Where the mapped properties sit inside one vertex of a binary body whose
// vertex has scalars only: the same mapping as byte offsets, worked out once
// from the header and applied to whole runs of vertices without decoding
// every property.
class VertexByteLayout {
public:
    VertexByteLayout(const PLYHeader& header, const ElementInputMapping& mapping) : mapping_(mapping) {
        const auto& properties = header.elements[mapping.elementTypeIndex].properties;
        std::vector<std::size_t> offsets;
        for (const auto& property : properties) {
            offsets.push_back(stride_);
            stride_ += plykit::byteWidth(property.type.valueType());
        }
        auto place = [&](std::size_t& index) { index = offsets[index]; };
        for (auto& index : mapping_.position) place(index);
        for (auto& triple : mapping_.color)
            for (auto& index : triple) place(index);
        for (auto& index : mapping_.scale) place(index);
        place(mapping_.opacity);
        for (auto& index : mapping_.rotation) place(index);
        bigEndian_ = header.format == PLYHeader::Format::binaryBigEndian;
        if (mapping_.colorKind == ElementInputMapping::ColorKind::sphericalHarmonicFloat) harmonic_ = harmonicOffsets();
    }

    void append(std::span<const std::uint8_t> bytes, std::size_t count, SplatBatch& batch) const {
        if (bigEndian_ != plykit::hostIsBigEndian)
            appendAll<true>(bytes.data(), count, batch);
        else
            appendAll<false>(bytes.data(), count, batch);
    }

private:
    HarmonicOffsets harmonicOffsets() const {
        HarmonicOffsets offsets;
        auto narrow = [](std::size_t offset) { return std::uint32_t(offset); };
        for (std::size_t axis = 0; axis < 3; ++axis) {
            offsets.position[axis] = narrow(mapping_.position[axis]);
            offsets.scale[axis] = narrow(mapping_.scale[axis]);
        }
        for (std::size_t triple = 0; triple < mapping_.color.size(); ++triple)
            for (std::size_t channel = 0; channel < 3; ++channel)
                offsets.sh[3 * triple + channel] = narrow(mapping_.color[triple][channel]);
        offsets.shTriples = narrow(mapping_.color.size());
        offsets.opacity = narrow(mapping_.opacity);
        offsets.rotation = {narrow(mapping_.rotation[1]), narrow(mapping_.rotation[2]), narrow(mapping_.rotation[3]),
                            narrow(mapping_.rotation[0])};
        offsets.stride = narrow(stride_);
        return offsets;
    }

    template <bool swap>
    static Vector3 tripleAt(const std::uint8_t* vertex, const IndexTriple& offsets) {
        return {floatAt<swap>(vertex, offsets[0]), floatAt<swap>(vertex, offsets[1]), floatAt<swap>(vertex, offsets[2])};
    }

    template <bool swap>
    SplatPoint::Color byteColorAt(const std::uint8_t* vertex) const {
        if (mapping_.colorKind == ElementInputMapping::ColorKind::sRGBFloat256) {
            Vector3 values = tripleAt<swap>(vertex, mapping_.color[0]);
            return SplatPoint::Color::sRGBUInt8(
                {byteFrom256Scale(values[0]), byteFrom256Scale(values[1]), byteFrom256Scale(values[2])});
        }
        const IndexTriple& offsets = mapping_.color[0];
        return SplatPoint::Color::sRGBUInt8({vertex[offsets[0]], vertex[offsets[1]], vertex[offsets[2]]});
    }

    template <bool swap>
    void appendAll(const std::uint8_t* bytes, std::size_t count, SplatBatch& batch) const {
        if (harmonic_) {
            if (*harmonic_ == commonLayout)
                appendHarmonicPoints<swap, true>(commonLayout, bytes, count, batch);
            else
                appendHarmonicPoints<swap, false>(*harmonic_, bytes, count, batch);
            return;
        }
        batch.reserve(batch.size() + count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* vertex = bytes + i * stride_;
            Quaternion rotation{floatAt<swap>(vertex, mapping_.rotation[1]), floatAt<swap>(vertex, mapping_.rotation[2]),
                                floatAt<swap>(vertex, mapping_.rotation[3]), floatAt<swap>(vertex, mapping_.rotation[0])};
            batch.emplace_back(tripleAt<swap>(vertex, mapping_.position), byteColorAt<swap>(vertex),
                               SplatPoint::Opacity::logitFloat(floatAt<swap>(vertex, mapping_.opacity)),
                               SplatPoint::Scale::exponent(tripleAt<swap>(vertex, mapping_.scale)), rotation);
        }
    }

    ElementInputMapping mapping_;  // its indices turned into byte offsets
    std::size_t stride_ = 0;
    bool bigEndian_ = false;
    std::optional<HarmonicOffsets> harmonic_;  // for a harmonic colour, all fields being floats
};

// Fewest bytes one element of the declaration takes, to bound how many
// points a file of a given size can hold.
std::size_t smallestElementSize(const PLYHeader& header, const PLYHeader::Element& element) {
    std::size_t size = 0;
    for (const auto& property : element.properties) {
        if (header.format == PLYHeader::Format::ascii)
            size += 2;  // one digit and a separator
        else
            size += plykit::byteWidth(property.type.isList() ? *property.type.countType() : property.type.valueType());
    }
    return std::max<std::size_t>(size, 1);
}

std::size_t sourceSize(const plykit::ReaderSource& source) {
    std::error_code error;
    if (const auto* path = source.filePath()) {
        auto size = std::filesystem::file_size(*path, error);
        return error ? 0 : std::size_t(size);
    }
    auto stream = source.inputStream();
    return std::size_t(stream->remainingBytes().value_or(0));
}

struct PLYDecoding {
    plykit::PLYReader::ElementSequence elements;
    ElementInputMapping mapping;
    std::optional<VertexByteLayout> byteLayout;  // when the vertices come as bytes
};

}  // namespace

SplatPLYSceneReader::Error::Error(Kind kind, const std::optional<std::string>& message)
    : ErrorOf(kind, describe(kind, message)) {}

SplatBatchSequence SplatPLYSceneReader::read() {
    plykit::PLYReader reader(source_);
    auto result = reader.read();
    ElementInputMapping mapping = buildMapping(result.header);

    const auto& vertex = result.header.elements[mapping.elementTypeIndex];
    std::size_t expected = std::min<std::size_t>(vertex.count, sourceSize(source_) / smallestElementSize(result.header, vertex));

    std::optional<VertexByteLayout> byteLayout;
    if (decoding_ == BodyDecoding::byLayout && result.elements.deliverBytes(mapping.elementTypeIndex))
        byteLayout.emplace(result.header, mapping);

    auto decoding = std::make_shared<PLYDecoding>(
        PLYDecoding{std::move(result.elements), std::move(mapping), std::move(byteLayout)});
    return SplatBatchSequence(
        [decoding](SplatBatch& batch) {
            while (auto series = decoding->elements.next()) {
                if (series->typeIndex != decoding->mapping.elementTypeIndex) continue;
                if (series->elements.empty() && series->byteInstanceCount > 0) {
                    decoding->byteLayout->append(series->bytes, series->byteInstanceCount, batch);
                    return true;
                }
                // A conversion failure leaves none of the run's points behind.
                std::size_t before = batch.size();
                try {
                    for (const auto& element : series->elements) appendPoint(element, decoding->mapping, batch);
                } catch (...) {
                    batch.erase(batch.begin() + std::ptrdiff_t(before), batch.end());
                    throw;
                }
                decoding->elements.recycle(std::move(series->elements));
                return true;
            }
            return false;
        },
        expected);
}

}  // namespace splatformats
