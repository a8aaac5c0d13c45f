#include "pipeline/WorkspaceScanner.hpp"

#include <algorithm>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/AtomicFile.hpp"
#include "core/FileError.hpp"
#include "engines/PLYCheck.hpp"
#include "core/TextDecoding.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/PlanJSON.hpp"
#include "pipeline/PathUtilities.hpp"
#include "pipeline/RunConfig.hpp"
#include "pipeline/WorkspaceConfinement.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

constexpr const char* modelFiles[] = {"cameras.bin", "images.bin", "points3D.bin"};

bool itemExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

bool holdsModel(const fs::path& folder) {
    return std::all_of(std::begin(modelFiles), std::end(modelFiles),
                       [&](const char* name) { return itemExists(folder / name); });
}

// The names of a folder's entries, hidden ones left out; throws FileError.
std::vector<fs::path> visibleEntries(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code error;
    fs::directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error))
        if (!it->path().filename().string().starts_with(".")) entries.push_back(it->path());
    if (error) throw core::FileError("list folder", folder, error);
    return entries;
}

// The cell and sub-cell numbers of a cell id: every "cell_" removed, the rest
// split at "_s"; a piece that is not a number counts 0, no second piece -1.
std::pair<int64_t, int64_t> cellNumbers(std::string_view id) {
    std::string rest;
    for (size_t start = 0;;) {
        size_t found = id.find("cell_", start);
        rest.append(id.substr(start, found == std::string_view::npos ? std::string_view::npos : found - start));
        if (found == std::string_view::npos) break;
        start = found + 5;
    }
    size_t split = rest.find("_s");
    std::string_view first = std::string_view(rest).substr(0, split);
    int64_t cell = core::parseDecimalInteger(first).value_or(0);
    if (split == std::string::npos) return {cell, -1};
    std::string_view second = std::string_view(rest).substr(split + 2);
    second = second.substr(0, second.find("_s"));
    return {cell, core::parseDecimalInteger(second).value_or(0)};
}

bool isDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A JSON integer as Int64; none for any other value.
std::optional<int64_t> jsonInteger(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        uint64_t number = value.get<uint64_t>();
        if (number > uint64_t(INT64_MAX)) return std::nullopt;
        return int64_t(number);
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    return std::nullopt;
}

std::string trimmedBlanksAndTabs(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return "";
    size_t last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace

std::vector<ScannedCell> WorkspaceScanResult::completedCells() const {
    std::vector<ScannedCell> selected;
    std::copy_if(cells.begin(), cells.end(), std::back_inserter(selected),
                 [](const ScannedCell& cell) { return cell.status == CellStatus::completed; });
    return selected;
}

std::vector<ScannedCell> WorkspaceScanResult::incompleteCells() const {
    std::vector<ScannedCell> selected;
    std::copy_if(cells.begin(), cells.end(), std::back_inserter(selected),
                 [](const ScannedCell& cell) { return cell.status == CellStatus::incomplete; });
    return selected;
}

bool cellIDPrecedes(std::string_view first, std::string_view second) {
    auto [firstCell, firstSub] = cellNumbers(first);
    auto [secondCell, secondSub] = cellNumbers(second);
    if (firstCell != secondCell) return firstCell < secondCell;
    return firstSub < secondSub;
}

bool isCellFolderId(std::string_view id) {
    if (!id.starts_with("cell_")) return false;
    id.remove_prefix(5);
    size_t end = id.find("_s");
    if (!isDigits(id.substr(0, end))) return false;
    while (end != std::string_view::npos) {
        id.remove_prefix(end + 2);
        end = id.find("_s");
        if (!isDigits(id.substr(0, end))) return false;
    }
    return true;
}

WorkspaceScanner::ScanError::ScanError(ScanErrorKind kind)
    : ErrorOf(kind, [kind] {
          switch (kind) {
          case ScanErrorKind::noPartitionsDirectory: return "No partitions/ directory found in workspace";
          case ScanErrorKind::noGlobalSparseData: return "Cannot locate global COLMAP sparse/0/ data";
          case ScanErrorKind::noImageDirectory: return "Cannot locate images directory";
          case ScanErrorKind::noCells: return "No partition cells found in partitions/";
          }
          return "No partition cells found in partitions/";
      }()) {}

WorkspaceScanResult WorkspaceScanner::scan(const fs::path& workspace) {
    const fs::path partitions = workspace / "partitions";
    if (!itemExists(partitions)) throw ScanError(ScanErrorKind::noPartitionsDirectory);

    WorkspaceScanResult result;
    result.workspaceURL = workspace;
    result.globalSparseURL = findGlobalSparse(workspace);
    result.imageDir = findImageDirectory(workspace);
    std::vector<ScannedCell> cells = scanCells(partitions, &result.unusableFiles);

    std::string problem;
    auto reportProblem = [&] {
        if (!problem.empty()) result.unusableFiles.push_back(problem);
        problem.clear();
    };
    auto planned = plannedCellIDs(partitions, &problem);
    reportProblem();
    if (planned) {
        // With a plan, only planned cells count.
        std::set<std::string> found;
        for (ScannedCell& cell : cells) {
            if (!planned->ids.contains(cell.cellId)) continue;
            found.insert(cell.cellId);
            result.cells.push_back(std::move(cell));
        }
        for (const std::string& id : planned->ids)  // a std::set iterates in plain string order
            if (!found.contains(id)) result.missingPlannedCells.push_back(id);
        result.rejectedPlannedCells = planned->rejected;
    } else {
        result.cells = std::move(cells);
    }
    if (result.cells.empty() && result.missingPlannedCells.empty()) throw ScanError(ScanErrorKind::noCells);

    LogParameters fromLog = parametersFromLog(workspace, &problem);
    reportProblem();
    result.downscaleFromLog = fromLog.downscale;
    result.capMaxFromLog = fromLog.capMax;
    result.evalFromLog = fromLog.eval;
    const fs::path configFile = workspace / RunConfig::fileName;
    try {
        RunConfig config = RunConfig::load(workspace);
        result.downscaleFromLog = config.downscale;
        result.capMaxFromLog = config.capMax;
        result.evalFromLog = config.eval;
    } catch (const core::Error& error) {
        // Missing or unusable settings: the log's values stand.
        std::error_code ignored;
        if (fs::symlink_status(configFile, ignored).type() != fs::file_type::not_found) {
            problem = error.what();
            reportProblem();
        }
    }
    return result;
}

fs::path WorkspaceScanner::findGlobalSparse(const fs::path& workspace) {
    const fs::path inWorkspace = workspace / "colmap" / "sparse" / "0";
    if (holdsModel(inWorkspace)) return inWorkspace;
    const fs::path inDataset = workspace / "dataset" / "sparse" / "0";
    if (holdsModel(inDataset)) {
        std::error_code error;
        fs::path resolved = fs::canonical(inDataset, error);
        return error ? inDataset : resolved;
    }
    const fs::path besideWorkspace = withoutTrailingSeparator(workspace).parent_path() / "sparse" / "0";
    if (holdsModel(besideWorkspace)) return besideWorkspace;
    throw ScanError(ScanErrorKind::noGlobalSparseData);
}

fs::path WorkspaceScanner::findImageDirectory(const fs::path& workspace) {
    for (const fs::path& candidate : {workspace / "dataset" / "images", workspace / "colmap" / "images",
                                      withoutTrailingSeparator(workspace).parent_path() / "images"}) {
        std::error_code error;
        if (fs::is_symlink(fs::symlink_status(candidate, error))) {
            // The link's target, even when it is gone: the resume asks for the
            // photos folder again in that case.
            fs::path target = fs::read_symlink(candidate, error);
            if (!error) {
                if (target.is_relative()) target = candidate.parent_path() / target;
                return withoutTrailingSeparator(target.lexically_normal());
            }
            continue;
        }
        if (!itemExists(candidate)) continue;
        fs::path resolved = fs::canonical(candidate, error);
        if (!error && fs::is_directory(resolved, error)) return resolved;
    }
    throw ScanError(ScanErrorKind::noImageDirectory);
}

std::vector<ScannedCell> WorkspaceScanner::scanCells(const fs::path& partitions, std::vector<std::string>* refused) {
    std::vector<ScannedCell> cells;
    const fs::path workspace = withoutTrailingSeparator(partitions).parent_path();
    for (const fs::path& entry : visibleEntries(partitions)) {
        std::string name = entry.filename().string();
        std::error_code error;
        if (!name.starts_with("cell_") || !fs::is_directory(entry, error)) continue;
        // Trained in or prepared, it would be written; merged, it would bring
        // in a model that is not this run's. Named even when it holds no
        // model yet: a resume then prepares the cell anew inside.
        try {
            WorkspaceConfinement::checkCellFolder(workspace, entry);
        } catch (const WorkspaceConfinement::OutsideError& error) {
            if (refused) refused->push_back(error.what());
            continue;
        }
        const fs::path sparse = entry / "sparse" / "0";
        if (!holdsModel(sparse)) continue;
        CellStatus status = CellStatus::incomplete;
        try {
            engines::PLYCheck::validate(entry / "output.ply");
            status = CellStatus::completed;
        } catch (const core::Error&) {
            // A missing, partial or foreign output leaves the cell to train.
        }
        cells.push_back(ScannedCell{name, status, sparse, entry});
    }
    std::stable_sort(cells.begin(), cells.end(),
                     [](const ScannedCell& a, const ScannedCell& b) { return cellIDPrecedes(a.cellId, b.cellId); });
    return cells;
}

std::optional<WorkspaceScanner::PlannedCells> WorkspaceScanner::plannedCellIDs(const fs::path& partitions,
                                                                                std::string* problem) {
    const fs::path file = partitions / "partition_plan.json";
    std::error_code missing;
    if (fs::symlink_status(file, missing).type() == fs::file_type::not_found) return std::nullopt;
    // Read and parsed within the bounds the merge holds a plan to; only the
    // keys used here enter the tree.
    static const std::set<std::string> usedKeys = {"cells", "viewsPerFrame", "id", "imageCount"};
    auto unusable = [&](const std::string& reason) -> std::optional<PlannedCells> {
        if (problem) *problem = reason;
        return std::nullopt;
    };
    nlohmann::json plan;
    try {
        plan = partition::parsePlanJSON(core::readWholeFile(file, partition::PartitionPlan::maximumFileBytes), &usedKeys);
    } catch (const partition::PartitionPlan::DecodeError& error) {
        return unusable(file.string() + ": " + error.what());
    } catch (const core::Error& error) {
        return unusable(error.what());  // names the file
    }
    auto cells = plan.is_object() ? plan.find("cells") : plan.end();
    if (!plan.is_object() || cells == plan.end() || !cells->is_array() ||
        !std::all_of(cells->begin(), cells->end(), [](const nlohmann::json& cell) { return cell.is_object(); }))
        return unusable(file.string() + ": not a partition plan (no \"cells\" array of objects)");

    int64_t minimumImages = 8;
    if (auto views = plan.find("viewsPerFrame"); views != plan.end())
        if (auto count = jsonInteger(*views); count && *count >= 2) minimumImages = 8 * *count;

    PlannedCells planned;
    for (const nlohmann::json& cell : *cells) {
        auto imageCount = cell.find("imageCount");
        auto id = cell.find("id");
        if (imageCount == cell.end() || id == cell.end() || !id->is_string()) continue;
        auto count = jsonInteger(*imageCount);
        if (!count || *count < minimumImages) continue;
        // The id becomes a folder name under partitions/.
        std::string text = id->get<std::string>();
        if (isCellFolderId(text))
            planned.ids.insert(text);
        else
            planned.rejected.push_back(text);
    }
    return planned;
}

WorkspaceScanner::LogParameters WorkspaceScanner::parametersFromLog(const fs::path& workspace, std::string* problem) {
    const fs::path logs = workspace / "Tessaron_logs";
    if (!itemExists(logs)) return {};
    std::vector<fs::path> entries;
    try {
        entries = visibleEntries(logs);
    } catch (const core::Error&) {
        return {};
    }
    std::vector<std::string> names;
    for (const fs::path& entry : entries)
        if (entry.extension() == ".md") names.push_back(entry.filename().string());
    if (names.empty()) return {};
    // Logs are named after their start time: the greatest name is the newest.
    const std::string newest = *std::max_element(names.begin(), names.end());
    std::string bytes;
    try {
        bytes = core::readWholeFile(logs / newest, maximumLogBytes);
    } catch (const core::Error& error) {
        if (problem) *problem = error.what();
        return {};
    }
    if (core::decodeUTF8Lossy(bytes) != bytes) return {};
    return parametersFromLogText(bytes);
}

WorkspaceScanner::LogParameters WorkspaceScanner::parametersFromLogText(std::string_view text) {
    LogParameters parameters;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? text.size() + 1 : end + 1;

        if (!parameters.downscale && line.find("Image downscale factor:") != std::string_view::npos) {
            size_t factor = line.find("factor: ");
            if (factor != std::string_view::npos) {
                size_t valueStart = factor + 8;
                size_t x = line.find('x', valueStart);
                if (x != std::string_view::npos)
                    parameters.downscale = core::parseDecimalInteger(line.substr(valueStart, x - valueStart));
            }
        }
        if (line.find("Cap Max:") != std::string_view::npos) {
            size_t at = line.find("Cap Max: ");
            if (at != std::string_view::npos)
                if (auto cap = core::parseDecimalInteger(trimmedBlanksAndTabs(line.substr(at + 9))))
                    parameters.capMax = std::max(parameters.capMax.value_or(*cap), *cap);
        }
        if (line.find("--eval") != std::string_view::npos) parameters.eval = true;
    }
    return parameters;
}

}  // namespace tessaron::pipeline
