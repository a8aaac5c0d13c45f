#include "trevik/StandInTrainer.hpp"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <thread>
#include <unistd.h>

#include "core/NumberText.hpp"
#include "engines/COLMAPUtils.hpp"
#include "engines/MemoryEstimate.hpp"
#include "partition/SeamlessMerger.hpp"
#include "trevik/GaussianPlyWriter.hpp"

namespace tessaron::trevik {

namespace fs = std::filesystem;

namespace {

// The temporary being written, removed by a terminating signal so that a
// cancelled run leaves no half-written file behind. Written before the
// handler is installed and cleared after it is removed.
char pendingTemporary[4096];

extern "C" void removePendingTemporary(int signalNumber) {
    if (pendingTemporary[0] != '\0') ::unlink(pendingTemporary);
    // SA_RESETHAND restored the default action: end as the signal asked.
    ::raise(signalNumber);
}

// Installs the clean-up for the duration of one write.
class TemporaryCleanup {
public:
    explicit TemporaryCleanup(const fs::path& temporary) {
        std::snprintf(pendingTemporary, sizeof pendingTemporary, "%s", temporary.c_str());
        struct sigaction action {};
        action.sa_handler = removePendingTemporary;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        for (size_t index = 0; index < signals.size(); ++index) sigaction(signals[index], &action, &previous[index]);
    }
    ~TemporaryCleanup() {
        for (size_t index = 0; index < signals.size(); ++index) sigaction(signals[index], &previous[index], nullptr);
        pendingTemporary[0] = '\0';
    }
    TemporaryCleanup(const TemporaryCleanup&) = delete;
    TemporaryCleanup& operator=(const TemporaryCleanup&) = delete;

private:
    static constexpr std::array<int, 3> signals{SIGTERM, SIGINT, SIGHUP};
    std::array<struct sigaction, 3> previous{};
};

// Resident memory of this process in MB, from /proc/self/status; none when
// it cannot be read.
std::optional<double> residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (!line.starts_with("VmRSS:")) continue;
        return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    }
    return std::nullopt;
}

}  // namespace

StandInTrainer::StandInTrainer(TrainingOptions options, StandInKnobs knobs, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), knobs_(std::move(knobs)), out_(out), err_(err) {}

std::vector<int64_t> StandInTrainer::reportSteps(int64_t iterations) {
    std::vector<int64_t> steps;
    for (int64_t report = 1; report <= reportCount; ++report) {
        int64_t step = (iterations * report + reportCount - 1) / reportCount;  // ceiling
        if (step >= 1 && (steps.empty() || steps.back() != step)) steps.push_back(step);
    }
    return steps;
}

std::string StandInTrainer::groupedDecimal(uint64_t value) {
    std::string digits = std::to_string(value);
    std::string grouped;
    for (size_t index = 0; index < digits.size(); ++index) {
        if (index > 0 && (digits.size() - index) % 3 == 0) grouped += ',';
        grouped += digits[index];
    }
    return grouped;
}

int StandInTrainer::fail(const std::string& message) {
    err_ << "error: " << message << std::endl;
    return 1;
}

void StandInTrainer::echoDiagnostics() {
    for (const char* name : {"BENCHMARK", "PROFILE_GPU", "PROFILE_STAGES"}) {
        if (const char* value = std::getenv(name)) out_ << "[diagnostics] " << name << "=" << value << std::endl;
    }
}

bool StandInTrainer::withinSimulatedMemory(int64_t width, int64_t height, int64_t imageCount) {
    if (!knobs_.memoryLimitGB) return true;
    double need = engines::MemoryEstimate::gigabytes(width, height, imageCount, options_.capMax);
    if (need <= *knobs_.memoryLimitGB) return true;
    if (knobs_.outOfMemoryMode == StandInKnobs::OutOfMemoryMode::kill) {
        // What the system's out-of-memory killer does to a real engine.
        out_.flush();
        err_.flush();
        ::raise(SIGKILL);
    }
    err_ << "error: out of memory: this model needs about " << core::fixedText(need, 1) << " GB, the limit is "
         << core::fixedText(*knobs_.memoryLimitGB, 1) << " GB (" << StandInKnobs::memoryLimitVariable << ")"
         << std::endl;
    return false;
}

void StandInTrainer::train(size_t splatCount) {
    // Nothing is optimised: the loop only paces the statistics lines, and
    // the figures it prints are true of this program (splat count, time per
    // step, resident memory).
    std::string splats = groupedDecimal(splatCount);
    auto sliceStart = std::chrono::steady_clock::now();
    int64_t sliceFirstStep = 1;
    int64_t step = 1;
    for (int64_t reportStep : reportSteps(options_.iterations)) {
        for (; step <= reportStep; ++step) {
            if (knobs_.stepSleepMilliseconds > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(knobs_.stepSleepMilliseconds));
        }
        auto now = std::chrono::steady_clock::now();
        double milliseconds = std::chrono::duration<double, std::milli>(now - sliceStart).count() /
                              double(reportStep - sliceFirstStep + 1);
        out_ << "step=" << reportStep << " loss=n/a splats=" << splats << " " << core::fixedText(milliseconds, 1)
             << "ms/step" << std::endl;
        if (auto megabytes = residentMegabytes()) out_ << "[MEM] phys=" << core::fixedText(*megabytes, 1) << " MB" << std::endl;
        sliceStart = now;
        sliceFirstStep = reportStep + 1;
    }
}

void StandInTrainer::writeOutput(const std::vector<GaussianSeed>& seeds) {
    if (knobs_.truncateDataset && *knobs_.truncateDataset == options_.datasetName()) {
        size_t bodyBytes = seeds.size() * GaussianPlyWriter::bytesPerVertex / 2;
        GaussianPlyWriter::writeTruncated(options_.output, seeds, bodyBytes);
        err_ << "warning: wrote a truncated PLY on purpose (" << StandInKnobs::truncateDatasetVariable << ")"
             << std::endl;
        return;
    }
    TemporaryCleanup cleanup(GaussianPlyWriter::temporaryPath(options_.output));
    GaussianPlyWriter::write(options_.output, seeds);
    out_ << "Saved " << groupedDecimal(seeds.size()) << " Gaussians to " << options_.output.string() << std::endl;
}

int StandInTrainer::run() {
    out_ << "trevik stand-in (Tessaron): seeds one Gaussian per SfM point; no photometric optimisation" << std::endl;
    echoDiagnostics();

    fs::path modelFolder = options_.dataset / "sparse" / "0";
    engines::COLMAPModel model;
    try {
        model = engines::COLMAPUtils::readModel(modelFolder);
    } catch (const core::Error& error) {
        return fail("could not read the COLMAP model in " + modelFolder.string() + ": " + error.what());
    }

    fs::path imagesFolder = options_.dataset / "images";
    uint64_t largestPixels = 0;
    int64_t width = 0, height = 0;
    for (const auto& [imageId, image] : model.images) {
        fs::path imagePath = imagesFolder / image.name;
        std::error_code error;
        if (!fs::exists(imagePath, error)) return fail("image not found: " + imagePath.string());
        auto camera = model.cameras.find(image.cameraId);
        if (camera == model.cameras.end())
            return fail("image " + image.name + " refers to camera " + std::to_string(image.cameraId) +
                        ", which cameras.bin does not hold");
        if (camera->second.width * camera->second.height > largestPixels) {
            largestPixels = camera->second.width * camera->second.height;
            width = int64_t(camera->second.width);
            height = int64_t(camera->second.height);
        }
    }

    int64_t imageCount = int64_t(model.images.size());
    std::vector<SeedPoint> points;
    points.reserve(model.points3D.size());
    size_t nonFinite = 0;
    for (const auto& [pointId, point] : model.points3D) {
        if (!std::isfinite(point.x) || !std::isfinite(point.y) || !std::isfinite(point.z)) {
            ++nonFinite;
            continue;
        }
        points.push_back(SeedPoint{{point.x, point.y, point.z}, point.r, point.g, point.b});
    }
    model = {};  // the tracks are not needed any more and can be large

    // The engine trains in the dataset's normalised frame (camera centres
    // with mean 0 and a largest coordinate deviation of 1) and writes its
    // Gaussians there; the merge maps each cell back with the same transform.
    auto frame = partition::SeamlessMerger::estimateNormTransform(modelFolder);
    if (!frame) return fail("the COLMAP model in " + modelFolder.string() + " has no readable camera centre");
    for (SeedPoint& point : points) {
        point.position = {(point.position[0] - frame->translation.x) * frame->scale,
                          (point.position[1] - frame->translation.y) * frame->scale,
                          (point.position[2] - frame->translation.z) * frame->scale};
    }
    out_ << "Normalised frame: centre (" << core::shortestText(frame->translation.x) << ", "
         << core::shortestText(frame->translation.y) << ", " << core::shortestText(frame->translation.z)
         << "), scale " << core::shortestText(frame->scale) << std::endl;
    if (nonFinite > 0) err_ << "warning: skipped " << nonFinite << " SfM points with non-finite coordinates" << std::endl;
    if (points.empty()) return fail("the COLMAP model in " + modelFolder.string() + " has no 3D points to seed from");

    std::string name = options_.datasetName();
    if (knobs_.failDataset && *knobs_.failDataset == name)
        return fail("forced failure for dataset " + name + " (" + StandInKnobs::failDatasetVariable + ")");

    int64_t scaledWidth = std::max<int64_t>(1, width / options_.downscale);
    int64_t scaledHeight = std::max<int64_t>(1, height / options_.downscale);
    out_ << "Dataset " << options_.dataset.string() << ": " << imageCount << " images at " << scaledWidth << "x"
         << scaledHeight << ", " << groupedDecimal(points.size()) << " SfM points" << std::endl;
    if (options_.maskDir) out_ << "Masks: " << options_.maskDir->string() << " (not used by the stand-in)" << std::endl;
    if (!withinSimulatedMemory(scaledWidth, scaledHeight, imageCount)) return 1;

    if (GaussianSeeder::needsSubsample(points.size(), options_.capMax)) {
        size_t keep = size_t(std::max<int64_t>(1, options_.capMax / 2));
        std::vector<SeedPoint> kept;
        kept.reserve(keep);
        for (size_t index : GaussianSeeder::subsampleIndices(points.size(), keep)) kept.push_back(points[index]);
        err_ << "[mcmc] init points: " << groupedDecimal(points.size()) << " SfM points exceed 75% of cap "
             << groupedDecimal(uint64_t(options_.capMax)) << "; keeping a deterministic subsample of "
             << groupedDecimal(kept.size()) << std::endl;
        points = std::move(kept);
    }

    auto seedStart = std::chrono::steady_clock::now();
    std::vector<GaussianSeed> seeds = GaussianSeeder::seed(points);
    double seedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - seedStart).count();
    out_ << "Seeded " << groupedDecimal(seeds.size()) << " Gaussians in " << core::fixedText(seedSeconds, 2) << " s"
         << std::endl;

    train(seeds.size());
    if (options_.eval) {
        // The stand-in measures nothing; the value is fixed or set by a test.
        double psnr = knobs_.psnr.value_or(30.0);
        out_ << "Eval PSNR: " << core::shortestText(psnr) << " (stand-in value, not measured)" << std::endl;
    }

    try {
        writeOutput(seeds);
        return 0;
    } catch (const GaussianPlyWriter::WriteError& error) {
        return fail(error.what());
    }
}

}  // namespace tessaron::trevik
