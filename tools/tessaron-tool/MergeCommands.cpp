// Cell models, sub-cells and the seamless merge from the shell, plus made-up
// trained cells whose merge result is known.
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ToolCommand.hpp"
#include "core/NumberText.hpp"
#include "core/TextDecoding.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/SeamlessMerger.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "generators/SyntheticCells.hpp"

namespace tessaron::tool {

namespace {

using partition::PartitionPlan;
using partition::SeamlessMerger;
using partition::VastGaussianPartitioner;

// Positional arguments, "--name value" options and bare "--switch"es.
struct ParsedArguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::set<std::string> switches;

    std::optional<int64_t> number(const std::string& name, int64_t fallback) const {
        auto found = values.find(name);
        if (found == values.end()) return fallback;
        return core::parseDecimalInteger(found->second);
    }
};

std::optional<ParsedArguments> parseArguments(const std::vector<std::string>& arguments,
                                              const std::set<std::string>& valued,
                                              const std::set<std::string>& switches = {}) {
    ParsedArguments parsed;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (!argument.starts_with("--")) {
            parsed.positional.push_back(argument);
        } else if (switches.contains(argument)) {
            parsed.switches.insert(argument);
        } else if (valued.contains(argument) && index + 1 < arguments.size()) {
            parsed.values[argument] = arguments[++index];
        } else {
            return std::nullopt;
        }
    }
    return parsed;
}

void printLine(const std::string& line) { std::cout << line << "\n"; }

const char* materialiseUsage =
    "<partition_plan.json> <sparse/0> <partitions folder> [--cells ID,ID,...]: write the COLMAP model of every "
    "trainable cell (or of the listed ones) under <partitions>/<cell id>/sparse/0";

int runMaterialise(const std::vector<std::string>& arguments) {
    auto parsed = parseArguments(arguments, {"--cells"});
    if (!parsed || parsed->positional.size() != 3) return usageError(std::string("usage: materialise ") + materialiseUsage);
    PartitionPlan plan = PartitionPlan::load(parsed->positional[0]);
    std::optional<std::set<std::string>> cellIds;
    if (parsed->values.contains("--cells")) {
        cellIds.emplace();
        std::string list = parsed->values.at("--cells");
        for (size_t start = 0, comma; start <= list.size(); start = comma + 1) {
            comma = std::min(list.find(',', start), list.size());
            if (comma > start) cellIds->insert(list.substr(start, comma - start));
        }
    }
    auto written = VastGaussianPartitioner::executePartition(
        plan, parsed->positional[1], parsed->positional[2], cellIds, printLine,
        [](int64_t done, int64_t total) { std::cout << "Progress: " << done << "/" << total << "\n"; });
    for (const auto& cell : written) std::cout << "Wrote " << cell.cellId << " → " << cell.url.string() << "\n";
    return 0;
}

const char* subdivideUsage =
    "<partition_plan.json> <cell id> <sparse/0> <partitions folder>: cut a cell into four quadrant sub-cells and "
    "write a model for each that has enough images";

int runSubdivide(const std::vector<std::string>& arguments) {
    auto parsed = parseArguments(arguments, {});
    if (!parsed || parsed->positional.size() != 4) return usageError(std::string("usage: subdivide ") + subdivideUsage);
    PartitionPlan plan = PartitionPlan::load(parsed->positional[0]);
    const std::string& cellId = parsed->positional[1];
    auto cell = std::find_if(plan.cells.begin(), plan.cells.end(), [&](const auto& c) { return c.id == cellId; });
    if (cell == plan.cells.end()) return usageError("the plan has no cell \"" + cellId + "\"");
    auto written = VastGaussianPartitioner::executeCells(cellId, cell->coreBounds, parsed->positional[2],
                                                         parsed->positional[3], plan.normalization, printLine);
    std::cout << written.size() << " of 4 quadrants written\n";
    return 0;
}

const char* mergeUsage =
    "<partition_plan.json> <partitions folder> <output.ply> [--ply NAME] [--band LOW:HIGH]: merge the trained "
    "PLYs (<partitions>/<cell id>/output.ply) of the plan's trainable cells into one Gaussian PLY";

int runMerge(const std::vector<std::string>& arguments) {
    auto parsed = parseArguments(arguments, {"--ply", "--band"});
    if (!parsed || parsed->positional.size() != 3) return usageError(std::string("usage: merge ") + mergeUsage);
    PartitionPlan plan = PartitionPlan::load(parsed->positional[0]);
    const std::filesystem::path partitions = parsed->positional[1];
    const std::string plyName = parsed->values.contains("--ply") ? parsed->values.at("--ply") : "output.ply";
    std::optional<SeamlessMerger::YRange> band;
    if (parsed->values.contains("--band")) {
        const std::string& text = parsed->values.at("--band");
        size_t colon = text.find(':');
        SeamlessMerger::YRange range;
        if (colon == std::string::npos || !core::parseDouble(text.substr(0, colon), range.lower) ||
            !core::parseDouble(text.substr(colon + 1), range.upper))
            return usageError("--band takes LOW:HIGH");
        band = range;
    }

    std::vector<SeamlessMerger::CellInput> inputs;
    for (const auto& cell : plan.trainableCells()) {
        SeamlessMerger::CellInput input;
        input.plyURL = partitions / cell.id / plyName;
        input.coreBounds = cell.coreBounds;
        input.expandedBounds = cell.expandedBounds;
        input.sparseURL = partitions / cell.id / "sparse" / "0";
        auto transform = SeamlessMerger::estimateNormTransform(input.sparseURL);
        if (!transform) {
            std::cout << "⚠ Cell " << cell.id << ": Could not compute transform from COLMAP data at "
                      << input.sparseURL.string() << " — it can't be merged.\n";
            continue;
        }
        input.transform = *transform;
        input.clusterCentroidXZ = plan.clusterCentroid(cell.id);
        inputs.push_back(input);
    }
    SeamlessMerger::Options options;
    options.pureVoronoiOwnership = plan.clusterCentroids.has_value();
    options.yRange = band;
    SeamlessMerger::merge(inputs, parsed->positional[2], plan.sceneBounds, options, printLine);
    return 0;
}

const char* syntheticCellsUsage =
    "<partitions folder> [--columns N] [--rows N] [--gaussians N] [--edge N] [--rejects N] [--extra N] [--seed S] "
    "[--midpoint] [--reordered]: write made-up trained cells (models, output.ply files and partition_plan.json) "
    "and print how many Gaussians their merge keeps";

int runSyntheticCells(const std::vector<std::string>& arguments) {
    auto parsed = parseArguments(
        arguments, {"--columns", "--rows", "--gaussians", "--edge", "--rejects", "--extra", "--seed"},
        {"--midpoint", "--reordered"});
    if (!parsed || parsed->positional.size() != 1)
        return usageError(std::string("usage: synthetic-cells ") + syntheticCellsUsage);
    tessaron::generators::SyntheticCellsOptions options;
    auto columns = parsed->number("--columns", options.columns);
    auto rows = parsed->number("--rows", options.rows);
    auto gaussians = parsed->number("--gaussians", options.gaussiansPerCell);
    auto edge = parsed->number("--edge", options.edgeGaussians);
    auto rejects = parsed->number("--rejects", options.rejectsPerCell);
    auto extra = parsed->number("--extra", options.extraProperties);
    auto seed = parsed->number("--seed", int64_t(options.seed));
    for (const auto& value : {columns, rows, gaussians, edge, rejects, extra, seed})
        if (!value || *value < 0) return usageError("options take whole numbers of at least 0");
    if (*columns < 1 || *rows < 1) return usageError("--columns and --rows take at least 1");
    options.columns = *columns;
    options.rows = *rows;
    options.gaussiansPerCell = *gaussians;
    options.edgeGaussians = *edge;
    options.rejectsPerCell = *rejects;
    options.extraProperties = *extra;
    options.seed = uint64_t(*seed);
    options.centroids = !parsed->switches.contains("--midpoint");
    options.reorderedProperties = parsed->switches.contains("--reordered");

    const std::filesystem::path partitions = parsed->positional[0];
    auto made = tessaron::generators::writeSyntheticCells(partitions, options);
    made.plan.save(partitions / "partition_plan.json");
    std::cout << "Wrote " << made.plan.cells.size() << " cells with " << made.gaussians.size()
              << " scene Gaussians to " << partitions.string() << "\n";
    std::cout << "Expected merge: " << made.expectedOrder().size() << " total Gaussians\n";
    return 0;
}

ToolCommand::Registration materialiseCommand({"materialise", materialiseUsage, runMaterialise});
ToolCommand::Registration subdivideCommand({"subdivide", subdivideUsage, runSubdivide});
ToolCommand::Registration mergeCommand({"merge", mergeUsage, runMerge});
ToolCommand::Registration syntheticCellsCommand({"synthetic-cells", syntheticCellsUsage, runSyntheticCells});

}  // namespace

}  // namespace tessaron::tool
