// partition_plan.json: encoding, decoding and the atomic save.
#include <cmath>
#include <limits>
#include <set>
#include <nlohmann/json.hpp>
#include <system_error>

#include "core/AtomicFile.hpp"
#include "core/NumberText.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/PlanJSON.hpp"

namespace tessaron::partition {

namespace {

using nlohmann::json;

// ---- Encoding -------------------------------------------------------------

// nlohmann::json keeps object keys in a std::map, so every object is written
// with its keys sorted.
json finite(double value, const std::string& path) {
    if (!std::isfinite(value))
        throw PartitionPlan::EncodeError("Cannot save the partition plan: " + path + " is " +
                                         core::shortestText(value) + ", not a finite number");
    return value;
}

json encode(const CellBounds& bounds, const std::string& path) {
    return json{{"minX", finite(bounds.minX, path + ".minX")},
                {"maxX", finite(bounds.maxX, path + ".maxX")},
                {"minZ", finite(bounds.minZ, path + ".minZ")},
                {"maxZ", finite(bounds.maxZ, path + ".maxZ")}};
}

json encode(const PartitionCell& cell, const std::string& path) {
    json object{{"id", cell.id},
                {"coreBounds", encode(cell.coreBounds, path + ".coreBounds")},
                {"expandedBounds", encode(cell.expandedBounds, path + ".expandedBounds")},
                {"imageCount", cell.imageCount},
                {"pointCount", cell.pointCount},
                {"estimatedMemoryGB", finite(cell.estimatedMemoryGB, path + ".estimatedMemoryGB")},
                {"depth", cell.depth},
                {"recommendedCapMax", cell.recommendedCapMax},
                {"recommendedIterations", cell.recommendedIterations}};
    if (cell.cameraIds) object["cameraIds"] = *cell.cameraIds;
    if (cell.expandedPointIds) object["expandedPointIds"] = *cell.expandedPointIds;
    return object;
}

json encode(const PartitionPlan& plan) {
    json cells = json::array();
    for (size_t index = 0; index < plan.cells.size(); ++index)
        cells.push_back(encode(plan.cells[index], "cells[" + std::to_string(index) + "]"));
    const auto& norm = plan.normalization;
    json object{{"cells", std::move(cells)},
                {"totalImages", plan.totalImages},
                {"totalPoints", plan.totalPoints},
                {"physicalRAMGB", finite(plan.physicalRAMGB, "physicalRAMGB")},
                {"budgetGB", finite(plan.budgetGB, "budgetGB")},
                {"downscaleFactor", plan.downscaleFactor},
                {"imageWidth", plan.imageWidth},
                {"imageHeight", plan.imageHeight},
                {"sceneBounds", encode(plan.sceneBounds, "sceneBounds")},
                {"normalization", json{{"centerX", finite(norm.centerX, "normalization.centerX")},
                                       {"centerY", finite(norm.centerY, "normalization.centerY")},
                                       {"centerZ", finite(norm.centerZ, "normalization.centerZ")},
                                       {"radius", finite(norm.radius, "normalization.radius")}}}};
    if (plan.clusterSeed) object["clusterSeed"] = *plan.clusterSeed;
    if (plan.clusterCentroids) {
        json centroids = json::array();
        for (size_t index = 0; index < plan.clusterCentroids->size(); ++index) {
            const auto& point = (*plan.clusterCentroids)[index];
            std::string path = "clusterCentroids[" + std::to_string(index) + "]";
            centroids.push_back(json{{"x", finite(point.x, path + ".x")}, {"z", finite(point.z, path + ".z")}});
        }
        object["clusterCentroids"] = std::move(centroids);
    }
    if (plan.schemaVersion) object["schemaVersion"] = *plan.schemaVersion;
    if (plan.viewsPerFrame) object["viewsPerFrame"] = *plan.viewsPerFrame;
    if (plan.lostCellIds) object["lostCellIds"] = *plan.lostCellIds;
    return object;
}

// ---- Decoding -------------------------------------------------------------

[[noreturn]] void invalid(const std::string& what) {
    throw PartitionPlan::DecodeError("Partition plan is not valid: " + what);
}

std::string join(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }

// A member that is missing or null reads as absent.
const json* member(const json& object, const std::string& key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

const json& required(const json& object, const std::string& key, const std::string& path) {
    auto found = object.find(key);
    if (found == object.end()) invalid("missing key \"" + join(path, key) + "\"");
    return *found;
}

double readDouble(const json& value, const std::string& path) {
    if (!value.is_number()) invalid("\"" + path + "\" must be a number");
    double number = value.get<double>();
    if (!std::isfinite(number)) invalid("\"" + path + "\" is not a finite number");
    return number;
}

template <typename Integer>
Integer readInteger(const json& value, const std::string& path) {
    bool fits = false;
    if (value.is_number_unsigned()) {
        fits = value.get<uint64_t>() <= uint64_t(std::numeric_limits<Integer>::max());
    } else if (value.is_number_integer()) {
        int64_t number = value.get<int64_t>();
        fits = std::numeric_limits<Integer>::is_signed ? number >= int64_t(std::numeric_limits<Integer>::min()) &&
                                                              number <= int64_t(std::numeric_limits<Integer>::max())
                                                        : number >= 0;
    } else {
        invalid("\"" + path + "\" must be an integer");
    }
    if (!fits) invalid("\"" + path + "\" is out of range");
    return value.get<Integer>();
}

std::string readString(const json& value, const std::string& path) {
    if (!value.is_string()) invalid("\"" + path + "\" must be a string");
    return value.get<std::string>();
}

const json& readObject(const json& value, const std::string& path) {
    if (!value.is_object()) invalid("\"" + path + "\" must be an object");
    return value;
}

template <typename Element, typename ReadElement>
std::vector<Element> readArray(const json& value, const std::string& path, ReadElement readElement) {
    if (!value.is_array()) invalid("\"" + path + "\" must be an array");
    std::vector<Element> result;
    result.reserve(value.size());
    for (size_t index = 0; index < value.size(); ++index)
        result.push_back(readElement(value[index], path + "[" + std::to_string(index) + "]"));
    return result;
}

double requiredDouble(const json& object, const std::string& key, const std::string& path) {
    return readDouble(required(object, key, path), join(path, key));
}

template <typename Integer>
Integer requiredInteger(const json& object, const std::string& key, const std::string& path) {
    return readInteger<Integer>(required(object, key, path), join(path, key));
}

CellBounds readBounds(const json& value, const std::string& path) {
    const json& object = readObject(value, path);
    return CellBounds{requiredDouble(object, "minX", path), requiredDouble(object, "maxX", path),
                      requiredDouble(object, "minZ", path), requiredDouble(object, "maxZ", path)};
}

Point2D readPoint(const json& value, const std::string& path) {
    const json& object = readObject(value, path);
    return Point2D{requiredDouble(object, "x", path), requiredDouble(object, "z", path)};
}

PartitionCell readCell(const json& value, const std::string& path) {
    const json& object = readObject(value, path);
    PartitionCell cell;
    cell.id = readString(required(object, "id", path), join(path, "id"));
    // The id becomes a folder name under partitions/.
    if (!isSafeCellId(cell.id)) invalid("\"" + join(path, "id") + "\" is not a safe folder name: \"" + cell.id + "\"");
    cell.coreBounds = readBounds(required(object, "coreBounds", path), join(path, "coreBounds"));
    cell.expandedBounds = readBounds(required(object, "expandedBounds", path), join(path, "expandedBounds"));
    cell.imageCount = requiredInteger<int64_t>(object, "imageCount", path);
    cell.pointCount = requiredInteger<int64_t>(object, "pointCount", path);
    cell.estimatedMemoryGB = requiredDouble(object, "estimatedMemoryGB", path);
    cell.depth = requiredInteger<int64_t>(object, "depth", path);
    cell.recommendedCapMax = requiredInteger<int64_t>(object, "recommendedCapMax", path);
    cell.recommendedIterations = requiredInteger<int64_t>(object, "recommendedIterations", path);
    if (const json* ids = member(object, "cameraIds"))
        cell.cameraIds = readArray<int32_t>(*ids, join(path, "cameraIds"), readInteger<int32_t>);
    if (const json* ids = member(object, "expandedPointIds"))
        cell.expandedPointIds = readArray<uint64_t>(*ids, join(path, "expandedPointIds"), readInteger<uint64_t>);
    return cell;
}

PartitionPlan decode(const json& document) {
    const json& object = readObject(document, "plan");
    const std::string root;
    PartitionPlan plan;
    plan.cells = readArray<PartitionCell>(required(object, "cells", root), "cells", readCell);
    // A cell id names the cell's folder: a repeated one would be trained and
    // merged twice.
    std::set<std::string> seenIds;
    for (size_t index = 0; index < plan.cells.size(); ++index)
        if (!seenIds.insert(plan.cells[index].id).second)
            invalid("\"cells[" + std::to_string(index) + "].id\" repeats the cell id \"" + plan.cells[index].id + "\"");
    plan.totalImages = requiredInteger<int64_t>(object, "totalImages", root);
    plan.totalPoints = requiredInteger<int64_t>(object, "totalPoints", root);
    plan.physicalRAMGB = requiredDouble(object, "physicalRAMGB", root);
    plan.budgetGB = requiredDouble(object, "budgetGB", root);
    plan.downscaleFactor = requiredInteger<int64_t>(object, "downscaleFactor", root);
    plan.imageWidth = requiredInteger<int64_t>(object, "imageWidth", root);
    plan.imageHeight = requiredInteger<int64_t>(object, "imageHeight", root);
    plan.sceneBounds = readBounds(required(object, "sceneBounds", root), "sceneBounds");
    if (const json* value = member(object, "normalization")) {
        const json& norm = readObject(*value, "normalization");
        plan.normalization = SceneNormalization{
            requiredDouble(norm, "centerX", "normalization"), requiredDouble(norm, "centerY", "normalization"),
            requiredDouble(norm, "centerZ", "normalization"), requiredDouble(norm, "radius", "normalization")};
        // Every cell's model is divided by the radius: a subnormal one such as
        // 5e-324 passes "> 0" and turns every coordinate into infinity.
        if (!(plan.normalization.radius > 0) || !std::isnormal(plan.normalization.radius))
            invalid("\"normalization.radius\" must be a normal number above 0");
    }
    if (const json* value = member(object, "clusterSeed")) plan.clusterSeed = readInteger<uint64_t>(*value, "clusterSeed");
    if (const json* value = member(object, "clusterCentroids"))
        plan.clusterCentroids = readArray<Point2D>(*value, "clusterCentroids", readPoint);
    if (const json* value = member(object, "schemaVersion"))
        plan.schemaVersion = readInteger<int64_t>(*value, "schemaVersion");
    if (const json* value = member(object, "viewsPerFrame"))
        plan.viewsPerFrame = readInteger<int64_t>(*value, "viewsPerFrame");
    if (const json* value = member(object, "lostCellIds"))
        plan.lostCellIds = readArray<std::string>(*value, "lostCellIds", readString);
    return plan;
}

}  // namespace

std::string PartitionPlan::toJSON() const { return encode(*this).dump(2) + "\n"; }

json parsePlanJSON(std::string_view bytes, const std::set<std::string>* keys) {
    using Plan = PartitionPlan;
    if (bytes.size() > Plan::maximumFileBytes)
        invalid("it holds " + std::to_string(bytes.size()) + " bytes, more than the " +
                std::to_string(Plan::maximumFileBytes) + " a plan can have");
    // The tree is bounded while it is built: nesting deeper than a plan's,
    // and more cells than a plan can have, stop the parse.
    size_t cells = 0;
    bool inCells = false;
    json::parser_callback_t bound = [&](int depth, json::parse_event_t event, json& parsed) {
        if (depth > Plan::maximumNestingDepth)
            invalid("nesting deeper than " + std::to_string(Plan::maximumNestingDepth) + " levels");
        // Cells are the objects inside the top-level "cells" array.
        if (event == json::parse_event_t::key && depth == 1) inCells = parsed == "cells";
        if (event == json::parse_event_t::object_start && depth == 2 && inCells && ++cells > Plan::maximumCellCount)
            invalid("more than " + std::to_string(Plan::maximumCellCount) + " cells");
        // A key left out drops its value with it.
        if (keys && event == json::parse_event_t::key && (depth == 1 || (depth == 3 && inCells)))
            return keys->contains(parsed.get<std::string>());
        return true;
    };
    try {
        return json::parse(bytes.begin(), bytes.end(), bound);
    } catch (const json::exception& error) {
        throw PartitionPlan::DecodeError(std::string("Partition plan is not valid JSON: ") + error.what());
    }
}

PartitionPlan PartitionPlan::fromJSON(std::string_view bytes) { return decode(parsePlanJSON(bytes)); }

void PartitionPlan::save(const std::filesystem::path& file, core::AtomicFile::LinkAtTarget links) const {
    std::string bytes = toJSON();  // throws before anything on disk is touched
    if (file.has_parent_path()) {
        std::error_code error;
        std::filesystem::create_directories(file.parent_path(), error);
        if (error)
            throw FileError("Could not create the folder " + file.parent_path().string() + ": " + error.message());
    }
    core::AtomicFile::write(file, bytes, links);
}

PartitionPlan PartitionPlan::load(const std::filesystem::path& file) {
    return fromJSON(core::readWholeFile(file, maximumFileBytes));
}

}  // namespace tessaron::partition
