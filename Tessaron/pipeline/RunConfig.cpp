#include "pipeline/RunConfig.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/AtomicFile.hpp"
#include "engines/TrainingLimits.hpp"

namespace tessaron::pipeline {

namespace {

using OrderedJson = nlohmann::ordered_json;

int64_t requireInteger(const OrderedJson& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw RunConfig::DecodeError(std::string("run_config.json: missing \"") + key + "\"");
    if (found->is_number_unsigned() && found->get<uint64_t>() <= uint64_t(std::numeric_limits<int64_t>::max()))
        return int64_t(found->get<uint64_t>());
    if (found->is_number_integer() && !found->is_number_unsigned()) return found->get<int64_t>();
    throw RunConfig::DecodeError(std::string("run_config.json: \"") + key + "\" is not an integer");
}

// A required integer that must lie in `range`.
int64_t requireIntegerIn(const OrderedJson& object, const char* key, engines::TrainingLimits::Range range) {
    const int64_t value = requireInteger(object, key);
    if (!range.contains(value))
        throw RunConfig::DecodeError(std::string("run_config.json: \"") + key + "\" is " + std::to_string(value) +
                                     ", outside " + std::to_string(range.minimum) + "…" + std::to_string(range.maximum));
    return value;
}

}  // namespace

std::string RunConfig::encode() const {
    OrderedJson json;
    json["downscale"] = downscale;
    json["eval"] = eval;
    json["capMax"] = capMax;
    json["iterations"] = iterations;
    if (ramLimitGB) json["ramLimitGB"] = *ramLimitGB;
    if (viewsPerFrame) json["viewsPerFrame"] = *viewsPerFrame;
    if (overridePartitionParams) json["overridePartitionParams"] = *overridePartitionParams;
    return json.dump();
}

RunConfig RunConfig::decode(std::string_view text) {
    OrderedJson json = OrderedJson::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw DecodeError("run_config.json: not a JSON object");
    RunConfig config;
    config.downscale = requireIntegerIn(json, "downscale", engines::TrainingLimits::downscale);
    auto eval = json.find("eval");
    if (eval == json.end()) throw DecodeError("run_config.json: missing \"eval\"");
    if (!eval->is_boolean()) throw DecodeError("run_config.json: \"eval\" is not a boolean");
    config.eval = eval->get<bool>();
    config.capMax = requireIntegerIn(json, "capMax", engines::TrainingLimits::capMax);
    config.iterations = requireIntegerIn(json, "iterations", engines::TrainingLimits::iterations);
    // Recorded later: optional, but checked when present.
    if (auto limit = json.find("ramLimitGB"); limit != json.end()) {
        if (!limit->is_number() || !std::isfinite(limit->get<double>()) || !(limit->get<double>() > 0))
            throw DecodeError("run_config.json: \"ramLimitGB\" is not a positive number");
        config.ramLimitGB = limit->get<double>();
    }
    if (json.contains("viewsPerFrame")) {
        config.viewsPerFrame = requireIntegerIn(json, "viewsPerFrame", {0, maximumViewsPerFrame});
    }
    if (auto flag = json.find("overridePartitionParams"); flag != json.end()) {
        if (!flag->is_boolean()) throw DecodeError("run_config.json: \"overridePartitionParams\" is not a boolean");
        config.overridePartitionParams = flag->get<bool>();
    }
    return config;
}

void RunConfig::save(const std::filesystem::path& workspace) const {
    // The workspace's own name: a link planted there is replaced, not followed.
    core::AtomicFile::write(workspace / fileName, encode(), core::AtomicFile::LinkAtTarget::replace);
}

RunConfig RunConfig::load(const std::filesystem::path& workspace) {
    return decode(core::readWholeFile(workspace / fileName, maximumFileBytes));
}

}  // namespace tessaron::pipeline
