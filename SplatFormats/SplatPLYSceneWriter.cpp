#include "SplatFormats/SplatPLYSceneWriter.hpp"

#include <algorithm>
#include <string>

namespace splatformats {

namespace {

using plykit::PLYHeader;

std::size_t restCoefficientsPerChannel(unsigned degree) {
    switch (degree) {
        case 1: return 3;
        case 2: return 8;
        case 3: return 15;
        default: return 0;
    }
}

PLYHeader::Element vertexDeclaration(unsigned degree, std::uint32_t count) {
    PLYHeader::Element element{"vertex", count, {}};
    auto add = [&](const std::string& name) {
        element.properties.push_back({name, PLYHeader::PropertyType::primitive(PLYHeader::PrimitivePropertyType::float32)});
    };
    for (const char* name : {"x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2"}) add(name);
    for (std::size_t k = 0; k < 3 * restCoefficientsPerChannel(degree); ++k) add("f_rest_" + std::to_string(k));
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"}) add(name);
    return element;
}

}  // namespace

SplatPLYSceneWriter::SplatPLYSceneWriter(plykit::WriterDestination destination)
    : plyWriter_(std::move(destination)), elementBuffer_(elementBufferSize) {}

SplatPLYSceneWriter::SplatPLYSceneWriter(const std::filesystem::path& path)
    : SplatPLYSceneWriter(plykit::WriterDestination::file(path)) {}

void SplatPLYSceneWriter::start(unsigned sphericalHarmonicDegree, bool binary, std::int64_t pointCount) {
    if (sphericalHarmonicDegree_) throw Error(ErrorKind::alreadyStarted, "The splat PLY writer has already been started");
    if (pointCount < 0 || pointCount > std::int64_t(UINT32_MAX))
        throw Error(ErrorKind::pointCountOutOfRange,
                    "A PLY element count is 0 to 4294967295, not " + std::to_string(pointCount));
    PLYHeader header;
    header.format = binary ? PLYHeader::Format::binaryLittleEndian : PLYHeader::Format::ascii;
    header.version = "1.0";
    header.elements.push_back(vertexDeclaration(sphericalHarmonicDegree, std::uint32_t(pointCount)));
    plyWriter_.write(header);
    totalPointCount_ = std::size_t(pointCount);
    sphericalHarmonicDegree_ = sphericalHarmonicDegree;
}

void SplatPLYSceneWriter::write(const std::vector<SplatPoint>& points) {
    if (!sphericalHarmonicDegree_) throw Error(ErrorKind::notStarted, "The splat PLY writer has not been started");
    if (closed_) throw Error(ErrorKind::cannotWriteAfterClose, "Cannot write to a splat PLY writer after closing it");
    if (pointsWritten_ + points.size() > totalPointCount_)
        throw Error(ErrorKind::unexpectedPoints, "Writing " + std::to_string(points.size()) + " more points would exceed the " +
                                                     std::to_string(totalPointCount_) + " announced");
    for (std::size_t first = 0; first < points.size(); first += elementBufferSize) {
        std::size_t count = std::min(elementBufferSize, points.size() - first);
        for (std::size_t index = 0; index < count; ++index) convert(points[first + index], elementBuffer_[index]);
        plyWriter_.write(elementBuffer_, count);
    }
    pointsWritten_ += points.size();
}

void SplatPLYSceneWriter::convert(const SplatPoint& point, plykit::PLYElement& element) const {
    std::size_t rest = restCoefficientsPerChannel(*sphericalHarmonicDegree_);
    element.properties.resize(17 + 3 * rest);
    auto slot = element.properties.begin();
    auto put = [&](float value) { *slot++ = value; };
    for (float value : point.position) put(value);
    put(0);
    put(0);
    put(1);
    SHCoefficients triples = point.color.asSphericalHarmonicFloat();
    Vector3 dc = triples.empty() ? Vector3{0, 0, 0} : triples[0];
    for (float value : dc) put(value);
    // Channel-major: every red coefficient, then every green, then every blue.
    for (std::size_t channel = 0; channel < 3; ++channel)
        for (std::size_t k = 1; k <= rest; ++k) put(k < triples.size() ? triples[k][channel] : 0.0f);
    put(point.opacity.asLogitFloat());
    for (float value : point.scale.asExponent()) put(value);
    put(point.rotation.w);
    put(point.rotation.x);
    put(point.rotation.y);
    put(point.rotation.z);
}

void SplatPLYSceneWriter::close() {
    if (closed_) return;
    closed_ = true;
    plyWriter_.close();
}

}  // namespace splatformats
