#include "pipeline/RunConfig.hpp"

#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/AtomicFile.hpp"

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

}  // namespace

std::string RunConfig::encode() const {
    OrderedJson json;
    json["downscale"] = downscale;
    json["eval"] = eval;
    json["capMax"] = capMax;
    json["iterations"] = iterations;
    return json.dump();
}

RunConfig RunConfig::decode(std::string_view text) {
    OrderedJson json = OrderedJson::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw DecodeError("run_config.json: not a JSON object");
    RunConfig config;
    config.downscale = requireInteger(json, "downscale");
    auto eval = json.find("eval");
    if (eval == json.end()) throw DecodeError("run_config.json: missing \"eval\"");
    if (!eval->is_boolean()) throw DecodeError("run_config.json: \"eval\" is not a boolean");
    config.eval = eval->get<bool>();
    config.capMax = requireInteger(json, "capMax");
    config.iterations = requireInteger(json, "iterations");
    return config;
}

void RunConfig::save(const std::filesystem::path& workspace) const {
    core::AtomicFile::write(workspace / fileName, encode());
}

RunConfig RunConfig::load(const std::filesystem::path& workspace) {
    return decode(core::readWholeFile(workspace / fileName));
}

}  // namespace tessaron::pipeline
