#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "partition/MaterializedCell.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/PartitionProgress.hpp"

namespace tessaron::partition {

struct Vec3 {
    double x = 0;
    double y = 0;
    double z = 0;

    bool operator==(const Vec3&) const = default;
};

using PartitionLog = std::function<void(const std::string& line)>;
using PartitionProgressHandler = std::function<void(const PartitionProgress& progress)>;
// Cells written so far and cells to write.
using MaterializationProgress = std::function<void(int64_t written, int64_t total)>;
// Asked before each cell is written; true stops the work.
using CancelQuery = std::function<bool()>;

// Plans the cells of a large scene from its COLMAP model and a memory budget
// ("VastGaussian" partitioning) and writes the cells' models; the steps are
// in PartitionerDetail.hpp. Every operation is a stateless, synchronous call
// that runs on the caller's thread and calls the optional log and progress
// closures on that thread. Results are deterministic: a seeded
// generator, sorted iteration and explicit tie-breaks, so the same input gives
// the same plan on every run, build and machine.
class VastGaussianPartitioner {
public:
    // nonFiniteCoordinate: the plan's normalisation would write a coordinate
    // that is infinite or NaN into a cell model.
    enum class PartitionErrorKind { noImages, noPoints, noCameras, legacyPlanFormat, nonFiniteCoordinate };

    class PartitionError : public core::ErrorOf<PartitionErrorKind> {
    public:
        explicit PartitionError(PartitionErrorKind kind);
        static std::string message(PartitionErrorKind kind);
    };

    // The settings a plan is made for, every field named and defaulted.
    struct PlanOptions {
        int64_t downscaleFactor = 1;            // the camera's size over the training size; 0 as 1
        int64_t iterationFloor = 7000;          // the fewest iterations a cell is planned for
        int64_t gaussianBudget = 1000000;       // Gaussians for the whole scene
        std::optional<double> ramLimitGB = {};  // none: from the machine's physical memory
        int64_t viewsPerFrame = 0;              // 0: detected from the image names

        // Throws OptionsError naming the first field out of range.
        void check() const;
    };

    class OptionsError : public core::Error {
    public:
        using core::Error::Error;
    };

    // ---- Plan creation ----------------------------------------------------

    // Reads the model in `modelFolder` (cameras.bin, images.bin,
    // points3D.bin) and plans it. Throws OptionsError before anything is
    // read, the reader's error unchanged, or a PartitionError for a model
    // without images, points or cameras.
    static PartitionPlan createPlan(const std::filesystem::path& modelFolder, const PlanOptions& options,
                                    const PartitionLog& log = {}, const PartitionProgressHandler& progress = {});

    // The same for a model already in memory; logs from the "Loaded ..." line on.
    static PartitionPlan createPlan(const colmap::COLMAPModel& model, const PlanOptions& options,
                                    const PartitionLog& log = {}, const PartitionProgressHandler& progress = {});

    // The RAM limit a plan is made for: the given limit, else the machine's
    // physical memory less 3 GB, at least 4 GB.
    static double ramLimitGB(std::optional<double> requestedGB, uint64_t physicalMemoryBytes);

    // ---- Cell models --------------------------------------------------------

    // Writes <partitionsFolder>/<cell id>/sparse/0 for every trainable cell
    // (only those in `cellIds` when given), in the plan's normalised frame.
    // Plans without stored ids have their clusters rebuilt from the seed.
    // Throws PartitionError::legacyPlanFormat for an unusable plan, the
    // model's read and write errors, and core::CancellationError when
    // `isCancelled` answers true before a cell; cells written before stay.
    static std::vector<MaterializedCell> executePartition(const PartitionPlan& plan,
                                                          const std::filesystem::path& modelFolder,
                                                          const std::filesystem::path& partitionsFolder,
                                                          const std::optional<std::set<std::string>>& cellIds = {},
                                                          const PartitionLog& log = {},
                                                          const MaterializationProgress& progress = {},
                                                          const CancelQuery& isCancelled = {});

    // Cuts a cell that ran out of memory into four quadrants and writes a
    // model for each quadrant with at least 8 images, as "<parent>_s<i>".
    static std::vector<MaterializedCell> executeCells(const std::string& parentCellId, const CellBounds& parentCore,
                                                      const std::filesystem::path& modelFolder,
                                                      const std::filesystem::path& partitionsFolder,
                                                      const SceneNormalization& normalization,
                                                      const PartitionLog& log = {});
};

}  // namespace tessaron::partition
