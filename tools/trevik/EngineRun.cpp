#include "trevik/EngineRun.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <ostream>
#include <system_error>
#include <sys/resource.h>
#include <unistd.h>

#include "core/NumberText.hpp"
#include "core/RegularFile.hpp"
#include "core/TextDecoding.hpp"
#include "core/ProcFiles.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/MemoryEstimate.hpp"
#include "engines/TrevikRunner.hpp"
#include "colmap/CellNormTransform.hpp"
#include "Trainer/SmallMatrix.hpp"
#include "Trainer/Trainer.hpp"

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

// Whether a double is finite as a float too.
bool withinFloatRange(double value) { return std::fabs(value) <= double(std::numeric_limits<float>::max()); }

// Memory of this process in MB, from a field of /proc/self/status; none
// when it cannot be read.
std::optional<double> statusMegabytes(std::string_view field) {
    const auto status = core::procfiles::read("/proc/self/status");
    if (!status) return std::nullopt;
    const auto kilobytes = core::procfiles::number(*status, field);
    if (!kilobytes) return std::nullopt;
    return double(*kilobytes) / 1024.0;
}

std::optional<double> residentMegabytes() { return statusMegabytes("VmRSS"); }
// Private writable memory: what a memory ceiling (RLIMIT_DATA) counts.
std::optional<double> dataMegabytes() { return statusMegabytes("VmData"); }
// The most this process has held resident so far.
std::optional<double> peakResidentMegabytes() { return statusMegabytes("VmHWM"); }

}  // namespace

EngineRun::EngineRun(TrainingOptions options, EngineSettings settings, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), settings_(std::move(settings)), out_(out), err_(err) {}

std::string EngineRun::groupedDecimal(uint64_t value) {
    std::string digits = std::to_string(value);
    std::string grouped;
    for (size_t index = 0; index < digits.size(); ++index) {
        if (index > 0 && (digits.size() - index) % 3 == 0) grouped += ',';
        grouped += digits[index];
    }
    return grouped;
}

int EngineRun::fail(const std::string& message) {
    err_ << "error: " << message << std::endl;
    return 1;
}

void EngineRun::echoDiagnostics() {
    for (const char* name : {"BENCHMARK", "PROFILE_GPU", "PROFILE_STAGES"}) {
        if (const char* value = std::getenv(name)) out_ << "[diagnostics] " << name << "=" << value << std::endl;
    }
}

bool EngineRun::applyMemoryCeiling(int64_t megabytes) {
    // Beyond a petabyte the product would overflow; no ceiling is that high.
    const rlim_t bytes = rlim_t(std::min<int64_t>(megabytes, int64_t(1) << 30)) << 20;
    std::string refusal;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_DATA, &limit) != 0) {
        refusal = std::strerror(errno);
    } else if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < bytes) {
        refusal = "above the hard limit";
    } else {
        limit.rlim_cur = bytes;
        if (::setrlimit(RLIMIT_DATA, &limit) != 0) refusal = std::strerror(errno);
    }
    if (!refusal.empty()) {
        fail(std::string("cannot set the memory ceiling ") + EngineSettings::memoryCeilingVariable + "=" +
             std::to_string(megabytes) + ": " + refusal);
        return false;
    }
    out_ << "Memory ceiling: " << megabytes << " MB of private writable memory ("
         << EngineSettings::memoryCeilingVariable << ")" << std::endl;
    return true;
}

bool EngineRun::reportsAfter(int64_t step, int64_t iterations) {
    if (step == iterations) return true;
    int64_t interval = std::min(reportInterval, std::max<int64_t>(1, (iterations + reportCount - 1) / reportCount));
    return step % interval == 0;
}

void EngineRun::printStatistics(int64_t step, const std::string& loss, size_t splats, double milliseconds) {
    out_ << "step=" << step << " loss=" << loss << " splats=" << groupedDecimal(splats) << " "
         << core::fixedText(milliseconds, 1) << "ms/step" << std::endl;
    if (auto megabytes = residentMegabytes()) {
        out_ << "[MEM] phys=" << core::fixedText(*megabytes, 1) << " MB";
        if (auto data = dataMegabytes()) out_ << " data=" << core::fixedText(*data, 1) << " MB";
        out_ << std::endl;
    }
}

trainer::GaussianModel EngineRun::initialModel(const std::vector<GaussianSeed>& seeds) {
    using trainer::GaussianModel;
    GaussianModel model;
    model.resize(seeds.size());
    model.setZero();
    const float opacityLogit = trainer::logit(initialOpacity);
    for (size_t index = 0; index < seeds.size(); ++index) {
        const GaussianSeed& seed = seeds[index];
        float* p = model.at(GaussianModel::position, index);
        p[0] = seed.x;
        p[1] = seed.y;
        p[2] = seed.z;
        float* s = model.at(GaussianModel::logScale, index);
        s[0] = s[1] = s[2] = seed.logScale;
        model.at(GaussianModel::rotation, index)[0] = 1.0f;
        model.at(GaussianModel::opacity, index)[0] = opacityLogit;
        float* dc = model.at(GaussianModel::shDC, index);
        dc[0] = seed.dc0;
        dc[1] = seed.dc1;
        dc[2] = seed.dc2;
    }
    return model;
}

int EngineRun::train(const std::vector<GaussianSeed>& seeds, const colmap::COLMAPModel& model,
                     const trainer::TrainingDataset::Options& datasetOptions) {
    trainer::TrainingDataset dataset;
    try {
        dataset = trainer::TrainingDataset::load(model, datasetOptions);
    } catch (const trainer::TrainingDataset::LoadError& error) {
        return fail(error.what());
    }
    size_t maskedImages = 0;
    for (const auto* images : {&dataset.training, &dataset.evaluation})
        for (const auto& image : *images) maskedImages += image.mask.empty() ? 0 : 1;
    out_ << "Training on " << dataset.training.size() << " images";
    if (options_.eval) out_ << ", " << dataset.evaluation.size() << " held out for evaluation";
    out_ << "; scene extent " << core::fixedText(dataset.extent, 3) << std::endl;
    if (options_.maskDir)
        out_ << "Masks: " << maskedImages << " images masked from " << options_.maskDir->string() << std::endl;

    trainer::TrainingSettings settings;
    settings.iterations = options_.iterations;
    settings.positionLrMaxSteps = options_.positionLrMaxSteps.value_or(options_.iterations);
    settings.capMax = options_.capMax;
    settings.background = {float(options_.backgroundColor[0]), float(options_.backgroundColor[1]),
                           float(options_.backgroundColor[2])};
    settings.threads = settings_.threads;
    if (options_.eval && options_.earlyStop) settings.earlyStopGain = *options_.earlyStop;

    trainer::Trainer trainer(dataset, initialModel(seeds), settings);
    out_ << "Optimising on " << trainer.pool().size() << " threads (CPU)" << std::endl;
    std::optional<double> seedPsnr;
    if (options_.eval) {
        seedPsnr = trainer.evaluationPsnr();
        if (seedPsnr) out_ << "Seed PSNR before training: " << core::fixedText(*seedPsnr, 2) << " dB" << std::endl;
    }

    double lossSum = 0, millisecondsSum = 0;
    int64_t sliceSteps = 0;
    int64_t steps = trainer.train([&](const trainer::Trainer::StepReport& report) {
        afterStep();
        lossSum += report.loss;
        millisecondsSum += report.milliseconds;
        ++sliceSteps;
        if (!reportsAfter(report.step, options_.iterations)) return;
        printStatistics(report.step, core::fixedText(lossSum / double(sliceSteps), 4), report.splats,
                        millisecondsSum / double(sliceSteps));
        lossSum = millisecondsSum = 0;
        sliceSteps = 0;
    });
    if (steps < options_.iterations) {
        if (sliceSteps > 0)
            printStatistics(steps, core::fixedText(lossSum / double(sliceSteps), 4), trainer.model().size(),
                            millisecondsSum / double(sliceSteps));
        out_ << "Early stop after " << steps << " steps: the held-out PSNR gained less than "
             << core::shortestText(*options_.earlyStop) << " dB" << std::endl;
    }
    // A model without Gaussians is no result: saying so beats a PLY of
    // nothing that the caller would take for a trained scene.
    if (trainer.model().size() == 0)
        return fail("training left no Gaussians (every one was pruned); no model to save");
    if (options_.cullRadius && *options_.cullRadius > 0) {
        const size_t before = trainer.model().size();
        size_t dropped = trainer.cull(float(*options_.cullRadius));
        out_ << "Culled " << groupedDecimal(dropped) << " Gaussians farther than "
             << core::shortestText(*options_.cullRadius) << " from the centre" << std::endl;
        if (trainer.model().size() == 0)
            return fail("the cull radius " + core::shortestText(*options_.cullRadius) + " removed all " +
                        groupedDecimal(before) + " Gaussians; no model to save");
    }
    if (options_.eval) {
        if (auto psnr = trainer.evaluationPsnr()) {
            out_ << "Eval PSNR: " << core::fixedText(*psnr, 2) << std::endl;
            warnIfWorseThanSeeds(*psnr, seedPsnr);
        } else {
            out_ << "No held-out images: the dataset is too small for evaluation" << std::endl;
        }
    }
    if (auto peak = peakResidentMegabytes()) out_ << "[MEM] peak phys=" << core::fixedText(*peak, 1) << " MB" << std::endl;
    const trainer::GaussianModel& result = trainer.model();
    writeOutput(result.size(), [&result](size_t index, float* out) { result.plyRecord(index, out); });
    return 0;
}

void EngineRun::warnIfWorseThanSeeds(double psnr, std::optional<double> seedPsnr) {
    // The run still ends with its model, but not as if nothing went wrong.
    // No number follows "PSNR" directly, so a reader of "PSNR: <value>"
    // lines keeps the value of the line before.
    if (seedPsnr && psnr < *seedPsnr)
        err_ << engines::TrevikRunner::qualityFellWarning << " (" << core::fixedText(psnr, 2)
             << " dB after training, " << core::fixedText(*seedPsnr, 2) << " dB before)" << std::endl;
}

void EngineRun::writeOutput(size_t count, const GaussianPlyWriter::RecordSource& source) {
    // The one place a model is saved: an empty one never passes for a result.
    if (count == 0)
        throw GaussianPlyWriter::WriteError("the model has no Gaussians; nothing written to " +
                                            options_.output.string());
    TemporaryCleanup cleanup(GaussianPlyWriter::temporaryPath(output_));
    GaussianPlyWriter::write(output_, count, source);
    out_ << "Saved " << groupedDecimal(count) << " Gaussians to " << options_.output.string() << std::endl;
}

int EngineRun::run() {
    try {
        return runSteps();
    } catch (const std::bad_alloc&) {
        // The driver reads this as running out of memory and retries the
        // cell as smaller ones.
        return fail("out of memory: failed to allocate memory for training (std::bad_alloc)");
    } catch (const std::system_error& error) {
        // A thread of the seeding that cannot start for want of resources.
        if (!core::ThreadPool::outOfMemory(error)) throw;
        return fail(std::string("out of memory: failed to allocate a thread (") + error.what() + ")");
    }
}

void EngineRun::announce() { out_ << "trevik (Tessaron): CPU Gaussian-splatting optimiser" << std::endl; }

bool EngineRun::proceedWith(const DatasetFacts&) { return true; }

int EngineRun::optimise(const std::vector<GaussianSeed>& seeds, const colmap::COLMAPModel& model,
                        const trainer::TrainingDataset::Options& datasetOptions) {
    return train(seeds, model, datasetOptions);
}

int EngineRun::runSteps() {
    announce();
    echoDiagnostics();
    if (settings_.memoryCeilingMegabytes && !applyMemoryCeiling(*settings_.memoryCeilingMegabytes)) return 1;

    // The output is checked before any work, not found unwritable after
    // all the training.
    try {
        output_ = GaussianPlyWriter::prepareTarget(options_.output);
    } catch (const GaussianPlyWriter::WriteError& error) {
        return fail(error.what());
    }
    // A mask folder that is not there would mask nothing without a word.
    if (options_.maskDir) {
        std::error_code error;
        const fs::file_status status = fs::status(*options_.maskDir, error);
        const std::string shownFolder = core::decodeUTF8Lossy(options_.maskDir->string());
        if (status.type() == fs::file_type::not_found) return fail("mask folder " + shownFolder + " does not exist");
        if (error) return fail("cannot read mask folder " + shownFolder + ": " + error.message());
        if (!fs::is_directory(status)) return fail("mask folder " + shownFolder + " is not a folder");
    }

    fs::path modelFolder = options_.dataset / "sparse" / "0";
    colmap::COLMAPModel model;
    try {
        model = colmap::COLMAPUtils::readModel(modelFolder);
    } catch (const core::Error& error) {
        return fail("could not read the COLMAP model in " + modelFolder.string() + ": " + error.what());
    }

    // Every photo, camera and pose is checked once, here: a FIFO among the
    // photos would block the run, and a camera or pose that is not finite
    // would render nothing and pass for a perfect fit.
    fs::path imagesFolder = options_.dataset / "images";
    uint64_t largestPixels = 0;
    int64_t width = 0, height = 0;
    std::set<int32_t> checkedCameras;
    int64_t smallestWidth = 0, smallestHeight = 0;
    std::optional<int32_t> smallestCamera;
    for (const auto& [imageId, image] : model.images) {
        // Read nothing outside the images folder, whatever images.bin says.
        if (auto outside = colmap::COLMAPUtils::imageNameOutsideFolder(image.name)) return fail(*outside);
        fs::path imagePath = imagesFolder / image.name;
        const std::string shownPath = core::decodeUTF8Lossy(imagePath.string());
        if (std::error_code error = core::RegularFile::openForReading(imagePath).error()) {
            if (error == std::errc::no_such_file_or_directory) return fail("image not found: " + shownPath);
            return fail("cannot read image " + shownPath + ": " + error.message());
        }
        auto camera = model.cameras.find(image.cameraId);
        if (camera == model.cameras.end())
            return fail("image " + core::decodeUTF8Lossy(image.name) + " refers to camera " +
                        std::to_string(image.cameraId) + ", which cameras.bin does not hold");
        try {
            if (checkedCameras.insert(camera->first).second) trainer::TrainingDataset::checkCamera(camera->second);
            trainer::TrainingDataset::checkPose(image);
        } catch (const trainer::TrainingDataset::LoadError& error) {
            return fail(error.what());
        }
        const int64_t side = int64_t(std::min(camera->second.width, camera->second.height));
        if (!smallestCamera || side < std::min(smallestWidth, smallestHeight)) {
            smallestWidth = int64_t(camera->second.width);
            smallestHeight = int64_t(camera->second.height);
            smallestCamera = camera->first;
        }
        if (camera->second.width * camera->second.height > largestPixels) {
            largestPixels = camera->second.width * camera->second.height;
            width = int64_t(camera->second.width);
            height = int64_t(camera->second.height);
        }
    }

    // A photo downscaled to a few pixels leaves nothing to train on.
    if (options_.downscale > 1 && smallestCamera) {
        const int64_t scaledWidth = std::max<int64_t>(1, smallestWidth / options_.downscale);
        const int64_t scaledHeight = std::max<int64_t>(1, smallestHeight / options_.downscale);
        if (std::min(scaledWidth, scaledHeight) < TrainingOptions::smallestImageSide)
            return fail("downscale " + std::to_string(options_.downscale) + " leaves the " +
                        std::to_string(smallestWidth) + " × " + std::to_string(smallestHeight) +
                        " photos of camera " + std::to_string(*smallestCamera) + " at " + std::to_string(scaledWidth) +
                        " × " + std::to_string(scaledHeight) + " pixels; training needs at least " +
                        std::to_string(TrainingOptions::smallestImageSide) + " pixels a side");
    }

    int64_t imageCount = int64_t(model.images.size());
    std::vector<SeedPoint> points;
    points.reserve(model.points3D.size());
    for (const auto& [pointId, point] : model.points3D)
        points.push_back(SeedPoint{{point.x, point.y, point.z}, point.r, point.g, point.b});
    model.points3D = {};  // the tracks are not needed any more and can be large

    // The engine trains in the dataset's normalised frame (camera centres
    // with mean 0 and a largest coordinate deviation of 1) and writes its
    // Gaussians there; the merge maps each cell back with the same transform.
    auto frame = colmap::CellNormTransform::estimate(modelFolder);
    if (!frame) return fail("the COLMAP model in " + modelFolder.string() + " has no readable camera centre");
    if (!withinFloatRange(frame->translation.x) || !withinFloatRange(frame->translation.y) ||
        !withinFloatRange(frame->translation.z) || !withinFloatRange(frame->scale) ||
        !(frame->scale >= double(std::numeric_limits<float>::min())))
        return fail("the camera centres of the COLMAP model in " + modelFolder.string() +
                    " give no usable frame (centre (" + core::shortestText(frame->translation.x) + ", " +
                    core::shortestText(frame->translation.y) + ", " + core::shortestText(frame->translation.z) +
                    "), scale " + core::shortestText(frame->scale) + ")");
    // The Gaussians are floats: a point that is not finite as one (NaN, or
    // 1e308 far beyond the float range) would seed a Gaussian of infinities.
    size_t kept = 0;
    for (const SeedPoint& point : points) {
        Point3 position = {(point.position[0] - frame->translation.x) * frame->scale,
                           (point.position[1] - frame->translation.y) * frame->scale,
                           (point.position[2] - frame->translation.z) * frame->scale};
        if (!withinFloatRange(position[0]) || !withinFloatRange(position[1]) || !withinFloatRange(position[2]))
            continue;
        points[kept++] = SeedPoint{position, point.r, point.g, point.b};
    }
    const size_t nonFinite = points.size() - kept;
    points.resize(kept);
    out_ << "Normalised frame: centre (" << core::shortestText(frame->translation.x) << ", "
         << core::shortestText(frame->translation.y) << ", " << core::shortestText(frame->translation.z)
         << "), scale " << core::shortestText(frame->scale) << std::endl;
    if (nonFinite > 0)
        err_ << "warning: skipped " << nonFinite
             << " SfM points with non-finite coordinates (as floats in the training frame)" << std::endl;
    if (points.empty()) return fail("the COLMAP model in " + modelFolder.string() + " has no 3D points to seed from");

    int64_t scaledWidth = std::max<int64_t>(1, width / options_.downscale);
    int64_t scaledHeight = std::max<int64_t>(1, height / options_.downscale);
    out_ << "Dataset " << options_.dataset.string() << ": " << imageCount << " images at " << scaledWidth << "x"
         << scaledHeight << ", " << groupedDecimal(points.size()) << " SfM points" << std::endl;
    if (!proceedWith({options_.datasetName(), scaledWidth, scaledHeight, imageCount})) return 1;

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

    trainer::TrainingDataset::Options datasetOptions;
    datasetOptions.imagesFolder = imagesFolder;
    datasetOptions.downscale = int(std::min<int64_t>(options_.downscale, 1 << 16));
    datasetOptions.maskFolder = options_.maskDir;
    datasetOptions.holdOut = options_.eval;
    datasetOptions.frameTranslation = {float(frame->translation.x), float(frame->translation.y),
                                       float(frame->translation.z)};
    datasetOptions.frameScale = float(frame->scale);
    try {
        return optimise(seeds, model, datasetOptions);
    } catch (const GaussianPlyWriter::WriteError& error) {
        return fail(error.what());
    }
}

}  // namespace tessaron::trevik
