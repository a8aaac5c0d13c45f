#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.hpp"

namespace tessaron::pipeline {

enum class CellStatus { completed, incomplete };

// A cell folder of partitions/ that holds a COLMAP model.
struct ScannedCell {
    std::string cellId;  // the folder's name, also the cell's id in the plan
    CellStatus status = CellStatus::incomplete;
    std::filesystem::path sparseURL;  // <cell>/sparse/0
    std::filesystem::path cellURL;

    bool operator==(const ScannedCell&) const = default;
};

// What a scan of an interrupted partitioned workspace found.
struct WorkspaceScanResult {
    std::filesystem::path workspaceURL;
    std::filesystem::path globalSparseURL;
    std::filesystem::path imageDir;
    std::vector<ScannedCell> cells;  // in cell order (cellIDPrecedes)
    // From run_config.json when it reads, else from the newest run log.
    std::optional<int64_t> downscaleFromLog;
    std::optional<int64_t> capMaxFromLog;
    std::optional<bool> evalFromLog;
    // Trainable planned cells without a cell folder holding a model, in plain
    // string order.
    std::vector<std::string> missingPlannedCells;
    // Planned cell ids that cannot name a cell folder (not cell_<n> with
    // optional _s<k> parts): reported here and not used.
    std::vector<std::string> rejectedPlannedCells;
    // Why files of the workspace that are there could not be used (the plan,
    // run_config.json, the newest run log, a cell folder that resolves
    // outside the workspace), one message naming each. The scan goes on
    // without them, as it does when they are missing.
    std::vector<std::string> unusableFiles;

    std::vector<ScannedCell> completedCells() const;
    std::vector<ScannedCell> incompleteCells() const;

    bool operator==(const WorkspaceScanResult&) const = default;
};

// The one order of cell ids: by cell number, then by sub-cell number, a
// plan cell before its sub-cells (cell_2 < cell_10, cell_3 < cell_3_s0).
bool cellIDPrecedes(std::string_view first, std::string_view second);

// Whether a planned id may become a folder name: "cell_<n>" followed by any
// number of "_s<k>", n and k decimal digits.
bool isCellFolderId(std::string_view id);

// Reads an existing workspace for a resume. Stateless and synchronous; never
// writes.
class WorkspaceScanner {
public:
    enum class ScanErrorKind { noPartitionsDirectory, noGlobalSparseData, noImageDirectory, noCells };

    class ScanError : public core::ErrorOf<ScanErrorKind> {
    public:
        explicit ScanError(ScanErrorKind kind);
    };

    // The trainable cells that partition_plan.json lists: the ids taken and
    // the ids refused as folder names.
    struct PlannedCells {
        std::set<std::string> ids;
        std::vector<std::string> rejected;
    };

    // A run log is read whole for its settings; a file beyond this is not
    // one the run wrote.
    static constexpr std::uint64_t maximumLogBytes = std::uint64_t(256) << 20;

    struct LogParameters {
        std::optional<int64_t> downscale;
        std::optional<int64_t> capMax;
        std::optional<bool> eval;

        bool operator==(const LogParameters&) const = default;
    };

    // Throws ScanError, or core::FileError when partitions/ cannot be listed.
    static WorkspaceScanResult scan(const std::filesystem::path& workspace);

    static std::filesystem::path findGlobalSparse(const std::filesystem::path& workspace);
    static std::filesystem::path findImageDirectory(const std::filesystem::path& workspace);
    // A cell folder that resolves outside the workspace (the folder that
    // holds `partitions`) is left out; `refused`, when given, gets a message
    // naming it.
    static std::vector<ScannedCell> scanCells(const std::filesystem::path& partitions,
                                              std::vector<std::string>* refused = nullptr);
    // Nothing when there is no usable plan; `problem`, when given, then says
    // why a plan file that exists was not used.
    static std::optional<PlannedCells> plannedCellIDs(const std::filesystem::path& partitions,
                                                      std::string* problem = nullptr);
    static LogParameters parametersFromLog(const std::filesystem::path& workspace, std::string* problem = nullptr);
    // The parameters that one run log's text names.
    static LogParameters parametersFromLogText(std::string_view text);
};

}  // namespace tessaron::pipeline
