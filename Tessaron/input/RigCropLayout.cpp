#include "input/RigCropLayout.hpp"

#include <cmath>

#include "core/NumberText.hpp"

namespace tessaron::input::rig {

std::vector<double> quaternionWXYZ(const cv::Matx33d& r) {
    double trace = r(0, 0) + r(1, 1) + r(2, 2);
    double w, x, y, z;
    if (trace >= 0) {
        double s = 2 * std::sqrt(1 + trace);
        w = s / 4;
        x = (r(2, 1) - r(1, 2)) / s;
        y = (r(0, 2) - r(2, 0)) / s;
        z = (r(1, 0) - r(0, 1)) / s;
    } else if (r(0, 0) >= r(1, 1) && r(0, 0) >= r(2, 2)) {
        double s = 2 * std::sqrt(1 + r(0, 0) - r(1, 1) - r(2, 2));
        x = s / 4;
        y = (r(0, 1) + r(1, 0)) / s;
        z = (r(0, 2) + r(2, 0)) / s;
        w = (r(2, 1) - r(1, 2)) / s;
    } else if (r(1, 1) >= r(2, 2)) {
        double s = 2 * std::sqrt(1 + r(1, 1) - r(0, 0) - r(2, 2));
        y = s / 4;
        x = (r(0, 1) + r(1, 0)) / s;
        z = (r(1, 2) + r(2, 1)) / s;
        w = (r(0, 2) - r(2, 0)) / s;
    } else {
        double s = 2 * std::sqrt(1 + r(2, 2) - r(0, 0) - r(1, 1));
        z = s / 4;
        x = (r(0, 2) + r(2, 0)) / s;
        y = (r(1, 2) + r(2, 1)) / s;
        w = (r(1, 0) - r(0, 1)) / s;
    }
    return {w, x, y, z};
}

double focalLength(double size, double fovDegrees) { return size / (2 * std::tan(fovDegrees * M_PI / 360)); }

std::string pinholeParamsText(double focal, double center) {
    return core::fixedText(focal, 4) + "," + core::fixedText(focal, 4) + "," + core::fixedText(center, 1) + "," +
           core::fixedText(center, 1);
}

std::vector<std::string> matchPairLines(const std::vector<std::int64_t>& cameraIds,
                                        const std::vector<CameraPairKey>& pairs,
                                        const std::vector<std::string>& frameNames, int temporalWindow) {
    std::vector<std::string> lines;
    const std::size_t frameCount = frameNames.size();
    auto imageName = [&](std::int64_t camera, std::size_t frame) {
        return "cam" + std::to_string(camera) + "/" + frameNames[frame];
    };
    auto emit = [&](std::int64_t cameraA, std::size_t frameA, std::int64_t cameraB, std::size_t frameB) {
        lines.push_back(imageName(cameraA, frameA) + " " + imageName(cameraB, frameB));
    };

    for (std::int64_t camera : cameraIds)
        for (std::size_t i = 0; i < frameCount; ++i)
            for (int k = 1; k <= temporalWindow && i + std::size_t(k) < frameCount; ++k)
                emit(camera, i, camera, i + std::size_t(k));

    for (const CameraPairKey& pair : pairs)
        for (std::size_t frame = 0; frame < frameCount; ++frame) {
            emit(pair.a, frame, pair.b, frame);
            if (frame + 1 < frameCount) {
                emit(pair.a, frame, pair.b, frame + 1);
                emit(pair.b, frame, pair.a, frame + 1);
            }
        }
    return lines;
}

namespace {

std::string numberText(const nlohmann::json& value) {
    if (value.is_number_integer()) return value.dump();
    if (!std::isfinite(value.get<double>()))
        throw RigCropLayout::RigConfigError("Invalid number value (" + core::shortestText(value.get<double>()) +
                                            ") in JSON write");
    std::string text = core::shortestText(value.get<double>());
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
    return text;
}

std::string stringText(const std::string& value) {
    std::string quoted = nlohmann::json(value).dump();
    std::string escaped;
    for (char c : quoted) {
        if (c == '/') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

void writeValue(const nlohmann::json& value, int depth, std::string& out) {
    const std::string indent(std::size_t(depth + 1) * 2, ' ');
    const std::string closingIndent(std::size_t(depth) * 2, ' ');
    if (value.is_object()) {
        if (value.empty()) {
            out += "{\n\n" + closingIndent + "}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& [key, member] : value.items()) {  // nlohmann keeps object keys sorted
            if (!first) out += ",\n";
            first = false;
            out += indent + stringText(key) + " : ";
            writeValue(member, depth + 1, out);
        }
        out += "\n" + closingIndent + "}";
    } else if (value.is_array()) {
        if (value.empty()) {
            out += "[\n\n" + closingIndent + "]";
            return;
        }
        out += "[\n";
        bool first = true;
        for (const auto& element : value) {
            if (!first) out += ",\n";
            first = false;
            out += indent;
            writeValue(element, depth + 1, out);
        }
        out += "\n" + closingIndent + "]";
    } else if (value.is_string()) {
        out += stringText(value.get<std::string>());
    } else if (value.is_number()) {
        out += numberText(value);
    } else {
        out += value.dump();  // true, false, null
    }
}

}  // namespace

std::string prettyJSON(const nlohmann::json& document) {
    std::string out;
    writeValue(document, 0, out);
    return out;
}

}  // namespace tessaron::input::rig
