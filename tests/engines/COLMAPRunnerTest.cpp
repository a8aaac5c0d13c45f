#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "core/AvailableCPUs.hpp"
#include "core/Error.hpp"
#include "support/ModelFixtures.hpp"
#include "engines/COLMAPRunner.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/COLMAPVersion.hpp"
#include "support/SingleCPUAffinity.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::colmap;
using namespace tessaron::engines;
using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using Arguments = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const std::string debianHelp =
    "COLMAP 3.8 -- Structure-from-Motion and Multi-View Stereo\n"
    "              (Commit Unknown on Unknown without CUDA)\n";
const std::string currentHelp =
    "COLMAP 3.12.3 -- Structure-from-Motion and Multi-View Stereo\n"
    "              (Commit 1a2b3c4 on 2025-06-01 with CUDA)\n";

// A stand-in for the colmap program: answers -h with the given help text,
// records every other invocation (GLOG_log_dir, then the arguments, tab
// separated), prints one line, writes a model when it is a mapper, and
// fails the way it is told at one sub-command.
struct FakeBehaviour {
    std::string help = debianHelp;
    std::string failingCommand = {};  // sub-command that fails
    std::string failure = {};         // shell: "exit 3", "kill -TERM $$"
    bool writesModel = true;
    std::string modelSource = {};  // when set, the mapper copies these sub-model folders
};

class FakeCOLMAP {
public:
    explicit FakeCOLMAP(const FakeBehaviour& behaviour = {}) {
        std::ostringstream script;
        script << "#!/bin/sh\n"
               << "if [ \"$1\" = \"-h\" ]; then\n"
               << "  echo probe >> '" << (folder_ / "probes").string() << "'\n"
               << "  cat <<'HELP'\n"
               << behaviour.help << "HELP\n"
               << "  exit 0\n"
               << "fi\n"
               << "{ printf 'GLOG_log_dir=%s' \"$GLOG_log_dir\"; for a in \"$@\"; do printf '\\t%s' \"$a\"; done;"
               << " printf '\\n'; } >> '" << (folder_ / "invocations").string() << "'\n"
               << "echo \"fake $1 output\"\n";
        if (!behaviour.failingCommand.empty())
            script << "if [ \"$1\" = '" << behaviour.failingCommand << "' ]; then " << behaviour.failure << "; fi\n";
        if (!behaviour.modelSource.empty()) {
            script << "case \"$1\" in mapper|global_mapper)\n"
                   << "  previous=''; for a in \"$@\"; do [ \"$previous\" = --output_path ] && out=\"$a\"; "
                      "previous=\"$a\"; done\n"
                   << "  cp -R '" << behaviour.modelSource << "'/. \"$out/\";;\n"
                   << "esac\n";
        } else if (behaviour.writesModel) {
            script << "case \"$1\" in mapper|global_mapper)\n"
                   << "  previous=''; for a in \"$@\"; do [ \"$previous\" = --output_path ] && out=\"$a\"; "
                      "previous=\"$a\"; done\n"
                   << "  mkdir -p \"$out/0\" && : > \"$out/0/cameras.bin\" && : > \"$out/0/images.bin\" && "
                      ": > \"$out/0/points3D.bin\";;\n"
                   << "esac\n";
        }
        script << "exit 0\n";
        writeTextFile(path(), script.str());
        fs::permissions(path(), fs::perms::owner_all);
    }

    fs::path path() const { return folder_ / "colmap"; }

    // Each invocation: "GLOG_log_dir=...", then the sub-command and its arguments.
    std::vector<Arguments> invocations() const {
        std::vector<Arguments> result;
        if (!fs::exists(folder_ / "invocations")) return result;
        std::istringstream lines(readTextFile(folder_ / "invocations"));
        std::string line;
        while (std::getline(lines, line)) {
            Arguments fields;
            std::istringstream parts(line);
            std::string field;
            while (std::getline(parts, field, '\t')) fields.push_back(field);
            result.push_back(fields);
        }
        return result;
    }

    Arguments commands() const {
        Arguments names;
        for (const Arguments& invocation : invocations()) names.push_back(invocation.at(1));
        return names;
    }

    int probeCount() const {
        if (!fs::exists(folder_ / "probes")) return 0;
        std::string text = readTextFile(folder_ / "probes");
        return int(std::count(text.begin(), text.end(), '\n'));
    }

private:
    TempDir folder_{"fake-colmap"};
};

// The run's parameters with the defaults of a photo run; the fixture fills
// in the folders.
using RunParameters = COLMAPRunner::Options;

class COLMAPRunnerFixture : public ::testing::Test {
protected:
    std::string images() const { return (workspace_ / "images").string(); }
    std::string output() const { return (workspace_ / "colmap").string(); }
    std::string database() const { return output() + "/database.db"; }
    std::string sparse() const { return output() + "/sparse"; }
    std::string snapshots() const { return output() + "/snapshots"; }
    std::string glog() const { return "GLOG_log_dir=" + output(); }

    // Runs with a fresh runner on the fake and keeps its log lines.
    void run(const FakeCOLMAP& fake, const RunParameters& parameters) {
        runner_ = std::make_unique<COLMAPRunner>(fake.path().string());
        runAgain(parameters);
    }

    void runAgain(const RunParameters& p) {
        runner_->onLog = [this](const std::string& line) {
            std::lock_guard lock(logMutex_);
            log_.push_back(line);
        };
        RunParameters options = p;
        options.imagePath = images();
        options.outputPath = output();
        runner_->run(options);
    }

    std::string threads() const { return std::to_string(runner_->maxThreads()); }

    std::string hardwareLine() const {
        return "Hardware: " + std::to_string(tessaron::core::availableCPUs()) + " cores, using " + threads() +
               " threads";
    }

    std::vector<std::string> log() {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    TempDir workspace_{"colmap-runner"};
    std::unique_ptr<COLMAPRunner> runner_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

// A two-camera rig whose answers the tests can see.
Rig360Config twoCameraRig(std::vector<std::string>* framesSeen, std::optional<std::string> maskDir = std::nullopt) {
    Rig360Config rig;
    rig.layout.cameraCount = 2;
    rig.layout.referenceCameraName = "cam0";
    rig.layout.cameraParams = "859.2380,859.2380,1024.0,1024.0";
    rig.layout.rigConfigJSON = [] { return std::string("[\n  {\n    \"cameras\" : []\n  }\n]"); };
    rig.layout.matchPairLines = [framesSeen](const std::vector<std::string>& frames) {
        if (framesSeen) *framesSeen = frames;
        std::vector<std::string> lines;
        for (const std::string& frame : frames) lines.push_back("cam0/" + frame + " cam1/" + frame);
        return lines;
    };
    rig.maskDir = std::move(maskDir);
    return rig;
}

}  // namespace

// ---- Pieces ----

TEST(COLMAPRunnerSetup, LookupPrefersBundleThenBuildTreeThenPathElseNamesTheBundle) {
    TempDir folder("colmap-lookup");
    const fs::path bundle = folder / "bundle", development = folder / "development", onPath = folder / "bin";
    for (const fs::path& dir : {bundle, development, onPath}) fs::create_directories(dir);
    const char* savedPath = std::getenv("PATH");
    const std::string originalPath = savedPath ? savedPath : "";
    ::setenv("PATH", onPath.c_str(), 1);

    EXPECT_EQ(COLMAPRunner::locateExecutable(bundle, development), (bundle / "colmap").string());
    writeTextFile(onPath / "colmap", "#!/bin/sh\n");
    fs::permissions(onPath / "colmap", fs::perms::owner_all);
    EXPECT_EQ(COLMAPRunner::locateExecutable(bundle, development), (onPath / "colmap").string());
    writeTextFile(development / "colmap", "");
    EXPECT_EQ(COLMAPRunner::locateExecutable(bundle, development), (development / "colmap").string());
    writeTextFile(bundle / "colmap", "");
    EXPECT_EQ(COLMAPRunner::locateExecutable(bundle, development), (bundle / "colmap").string());

    ::setenv("PATH", originalPath.c_str(), 1);
    EXPECT_EQ(COLMAPRunner(std::string("/given/colmap")).colmapPath(), "/given/colmap");
}

TEST(COLMAPVersionTable, CurrentAndUnreadableVersionsKeepTheCurrentNames) {
    const std::vector<std::vector<std::string>> helps = {
        {"COLMAP 3.12.3 -- Structure-from-Motion", "(Commit 1a2b on 2025-06-01 with CUDA)"},
        {"COLMAP 4.0 -- Structure-from-Motion"},
        {"colmap: unrecognised option"},
        {"COLMAP dev -- Structure-from-Motion"},
        {}};
    for (const auto& help : helps) {
        COLMAPVersion version = COLMAPVersion::fromHelpOutput(help);
        EXPECT_FALSE(version.withoutCUDA);
        EXPECT_EQ(version.optionName("--FeatureExtraction.use_gpu"), "--FeatureExtraction.use_gpu");
        EXPECT_EQ(version.optionName("--Mapper.snapshot_frames_freq"), "--Mapper.snapshot_frames_freq");
        EXPECT_TRUE(version.hasSubcommand("global_mapper"));
        EXPECT_TRUE(version.hasSubcommand("rig_configurator"));
    }
    EXPECT_EQ(COLMAPVersion::fromHelpOutput(helps[0]).text(), "3.12.3");
    EXPECT_EQ(COLMAPVersion::fromHelpOutput(helps[2]).text(), "unknown");
    EXPECT_TRUE(COLMAPVersion::fromHelpOutput({"COLMAP 3.11.1"}).isBefore(3, 12));
}

// ---- Command lines and log lines ----

TEST_F(COLMAPRunnerFixture, CurrentVersionGetsTheCurrentNamesAndLogsTheChain) {
    FakeCOLMAP fake({.help = currentHelp});
    run(fake, {.singleCamera = true, .snapshotPath = snapshots(), .snapshotFrequency = 10});

    EXPECT_THAT(fake.invocations(),
                ElementsAre(Arguments{glog(), "feature_extractor", "--database_path", database(), "--image_path",
                                      images(), "--FeatureExtraction.use_gpu", "1", "--FeatureExtraction.num_threads",
                                      threads(), "--ImageReader.single_camera", "1",
                                      "--FeatureExtraction.max_image_size", "1600",
                                      "--SiftExtraction.max_num_features", "8192"},
                            Arguments{glog(), "exhaustive_matcher", "--database_path", database(),
                                      "--FeatureMatching.num_threads", threads(), "--FeatureMatching.max_num_matches",
                                      "32768"},
                            Arguments{glog(), "mapper", "--database_path", database(), "--image_path", images(),
                                      "--output_path", sparse(), "--Mapper.num_threads", threads(),
                                      "--Mapper.snapshot_path", snapshots(), "--Mapper.snapshot_frames_freq", "10"}));
    EXPECT_THAT(log(), ElementsAre(hardwareLine(), "═══ Step 1/3: Feature Extraction (GPU SIFT) ═══",
                                   "fake feature_extractor output", "═══ Step 2/3: Exhaustive Matching ═══",
                                   "fake exhaustive_matcher output",
                                   "═══ Step 3/3: Incremental Reconstruction (recommended) ═══", "fake mapper output",
                                   "✓ COLMAP pipeline completed successfully."));
    EXPECT_TRUE(fs::is_directory(snapshots()));
}

// COLMAP's threads share the CPUs this process may run on (its affinity, as
// taskset or a container's cpuset sets it), not all the machine's.
TEST_F(COLMAPRunnerFixture, ThreadCountFollowsTheCPUAffinity) {
    tessaron::testing::SingleCPUAffinity one;
    FakeCOLMAP fake({.help = currentHelp});
    run(fake, {.singleCamera = true});
    EXPECT_EQ(runner_->maxThreads(), 2);
    ASSERT_FALSE(log().empty());
    EXPECT_EQ(log().front(), "Hardware: 1 cores, using 2 threads");
}

TEST_F(COLMAPRunnerFixture, DebianVersionGetsTheOlderNamesAndNeverTheGPU) {
    FakeCOLMAP fake;
    const std::string vocabTree = (workspace_ / "vocab_tree_flickr100K_words32K.bin").string();
    writeTextFile(vocabTree, "tree");
    run(fake, {.sequentialMatching = true,
               .mode = FeatureExtractionMode::aggressive,
               .vocabTreePath = vocabTree,
               .snapshotPath = snapshots(),
               .snapshotFrequency = 7});

    EXPECT_THAT(
        fake.invocations(),
        ElementsAre(
            Arguments{glog(), "feature_extractor", "--database_path", database(), "--image_path", images(),
                      "--SiftExtraction.use_gpu", "0", "--SiftExtraction.num_threads", threads(),
                      "--ImageReader.single_camera", "0", "--SiftExtraction.max_image_size", "3200",
                      "--SiftExtraction.max_num_features", "16384", "--SiftExtraction.peak_threshold", "0.0033",
                      "--SiftExtraction.edge_threshold", "20", "--SiftExtraction.num_octaves", "5",
                      "--SiftExtraction.octave_resolution", "4"},
            Arguments{glog(), "sequential_matcher", "--database_path", database(), "--SequentialMatching.overlap", "10",
                      "--SequentialMatching.quadratic_overlap", "1", "--SiftMatching.num_threads", threads(),
                      "--SiftMatching.max_num_matches", "65536", "--SiftMatching.use_gpu", "0",
                      "--SequentialMatching.loop_detection", "1", "--SequentialMatching.loop_detection_period", "10",
                      "--SequentialMatching.loop_detection_num_images", "50", "--SequentialMatching.vocab_tree_path",
                      vocabTree},
            Arguments{glog(), "mapper", "--database_path", database(), "--image_path", images(), "--output_path",
                      sparse(), "--Mapper.num_threads", threads(), "--Mapper.snapshot_path", snapshots(),
                      "--Mapper.snapshot_images_freq", "7"}));
    // Without CUDA the SIFT runs on the CPU, and the banner says so.
    EXPECT_THAT(log(), ElementsAre(hardwareLine(), "═══ Step 1/3: Feature Extraction (CPU SIFT [AGGRESSIVE]) ═══",
                                   "fake feature_extractor output", "═══ Step 2/3: Sequential Matching ═══",
                                   "Loop closure: enabled (vocab tree: " + vocabTree + ")",
                                   "fake sequential_matcher output",
                                   "═══ Step 3/3: Incremental Reconstruction (recommended) ═══", "fake mapper output",
                                   "✓ COLMAP pipeline completed successfully."));
}

class LoopClosureWithoutTree : public COLMAPRunnerFixture,
                               public ::testing::WithParamInterface<std::optional<std::string>> {};

TEST_P(LoopClosureWithoutTree, LogsDisabledAndAddsNoLoopOptions) {
    FakeCOLMAP fake;
    run(fake, {.sequentialMatching = true, .useGPU = false, .vocabTreePath = GetParam()});
    EXPECT_THAT(log(), ::testing::Contains("Loop closure: disabled (no vocab tree at " + GetParam().value_or("nil") +
                                           " — sequential-only matching)"));
    EXPECT_THAT(log().at(1), "═══ Step 1/3: Feature Extraction (CPU SIFT) ═══");
    const Arguments matcher = fake.invocations().at(1);
    EXPECT_EQ(matcher.at(1), "sequential_matcher");
    for (const std::string& argument : matcher) EXPECT_THAT(argument, ::testing::Not(HasSubstr("loop_detection")));
}

INSTANTIATE_TEST_SUITE_P(NilOrMissingFile, LoopClosureWithoutTree,
                         ::testing::Values(std::nullopt, std::string("/nowhere/vocab_tree.bin")),
                         [](const auto& info) { return info.param ? "missingFile" : "nil"; });

TEST_F(COLMAPRunnerFixture, SnapshotsNeedAFrequencyOfAtLeastOne) {
    FakeCOLMAP fake;
    run(fake, {.snapshotPath = snapshots(), .snapshotFrequency = 0});
    const Arguments mapper = fake.invocations().at(2);
    EXPECT_THAT(mapper, ElementsAre(glog(), "mapper", "--database_path", database(), "--image_path", images(),
                                    "--output_path", sparse(), "--Mapper.num_threads", threads()));
    EXPECT_FALSE(fs::exists(snapshots()));
}

TEST_F(COLMAPRunnerFixture, GlobalMapperOnCurrentVersionTakesNoSnapshots) {
    FakeCOLMAP fake({.help = currentHelp});
    run(fake, {.useGlobalMapper = true, .snapshotPath = snapshots()});
    EXPECT_THAT(fake.invocations().at(2),
                ElementsAre(glog(), "global_mapper", "--database_path", database(), "--image_path", images(),
                            "--output_path", sparse(), "--GlobalMapper.num_threads", threads()));
    EXPECT_THAT(log(), ::testing::Contains("═══ Step 3/3: Global Reconstruction (GLOMAP — fast mode) ═══"));
    EXPECT_FALSE(fs::exists(snapshots()));
}

TEST_F(COLMAPRunnerFixture, GlobalMapperMissingFallsBackToTheIncrementalOneWithAWarning) {
    FakeCOLMAP fake;
    run(fake, {.useGlobalMapper = true, .snapshotPath = snapshots()});
    EXPECT_THAT(fake.invocations().at(2), ElementsAre(glog(), "mapper", "--database_path", database(), "--image_path",
                                                      images(), "--output_path", sparse(), "--Mapper.num_threads",
                                                      threads()));
    const std::vector<std::string> lines = log();
    const std::vector<std::string> tail(lines.end() - 4, lines.end());
    EXPECT_THAT(tail, ElementsAre("═══ Step 3/3: Global Reconstruction (GLOMAP — fast mode) ═══",
                                  "⚠ COLMAP 3.8 has no global_mapper: running the incremental mapper instead, without "
                                  "GLOMAP's global reconstruction and without snapshots.",
                                  "fake mapper output", "✓ COLMAP pipeline completed successfully."));
}

TEST_F(COLMAPRunnerFixture, RigOnDebianWritesTheRigFilesAndSkipsTheConfigurator) {
    FakeCOLMAP fake;
    const fs::path reference = workspace_ / "images" / "cam0";
    for (const char* name : {"frame_b.JPG", "frame_a.jpeg", "Z.png", "notes.txt", "frame_c.jpg.txt"})
        writeTextFile(reference / name, "");
    std::vector<std::string> framesSeen;
    const std::string masks = (workspace_ / "masks").string();
    // Single camera, sequential matching and a vocabulary tree mean nothing with a rig.
    run(fake, {.singleCamera = true,
               .sequentialMatching = true,
               .vocabTreePath = "/nowhere/tree.bin",
               .snapshotPath = snapshots(),
               .rig = twoCameraRig(&framesSeen, masks)});

    EXPECT_THAT(framesSeen, ElementsAre("Z.png", "frame_a.jpeg", "frame_b.JPG"));
    const std::string matchPairs = output() + "/match_pairs.txt";
    EXPECT_EQ(readTextFile(matchPairs), "cam0/Z.png cam1/Z.png\ncam0/frame_a.jpeg cam1/frame_a.jpeg\n"
                                        "cam0/frame_b.JPG cam1/frame_b.JPG\n");
    EXPECT_EQ(readTextFile(output() + "/rig_config.json"), "[\n  {\n    \"cameras\" : []\n  }\n]");
    EXPECT_THAT(
        fake.invocations(),
        ElementsAre(
            Arguments{glog(), "feature_extractor", "--database_path", database(), "--image_path", images(),
                      "--SiftExtraction.use_gpu", "0", "--SiftExtraction.num_threads", threads(),
                      "--ImageReader.single_camera_per_folder", "1", "--ImageReader.camera_model", "PINHOLE",
                      "--ImageReader.camera_params", "859.2380,859.2380,1024.0,1024.0", "--ImageReader.mask_path",
                      masks, "--SiftExtraction.max_image_size", "1600", "--SiftExtraction.max_num_features", "8192"},
            Arguments{glog(), "matches_importer", "--database_path", database(), "--match_list_path", matchPairs,
                      "--SiftMatching.num_threads", threads(), "--SiftMatching.max_num_matches", "32768",
                      "--SiftMatching.use_gpu", "0"},
            Arguments{glog(), "mapper", "--database_path", database(), "--image_path", images(), "--output_path",
                      sparse(), "--Mapper.num_threads", threads(), "--Mapper.ba_refine_focal_length", "0",
                      "--Mapper.ba_refine_principal_point", "0", "--Mapper.ba_refine_extra_params", "0",
                      "--Mapper.snapshot_path", snapshots(), "--Mapper.snapshot_images_freq", "10"}));
    EXPECT_THAT(log(), ElementsAre(hardwareLine(), "═══ Step 1/3: Feature Extraction (CPU SIFT) ═══",
                                   "fake feature_extractor output", "═══ Rig configuration (2 virtual cameras) ═══",
                                   "⚠ COLMAP 3.8 has no rig_configurator: the crops are matched and mapped as "
                                   "separate cameras, one per camera folder, without the rig constraint.",
                                   "═══ Step 2/3: Rig Pair Matching (matches_importer) ═══",
                                   "Match plan: 3 rig frames × 2 crops → 3 pairs", "fake matches_importer output",
                                   "═══ Step 3/3: Incremental Reconstruction (recommended) ═══", "fake mapper output",
                                   "✓ COLMAP pipeline completed successfully."));
}

TEST_F(COLMAPRunnerFixture, OpenCVRigOnCurrentVersionRunsTheConfiguratorAndRefinesIntrinsics) {
    FakeCOLMAP fake({.help = currentHelp});
    std::vector<std::string> framesSeen = {"stale"};
    // No reference camera folder at all: no frames, an empty pair file.
    run(fake, {.rig = twoCameraRig(&framesSeen), .openCVRig = true});

    EXPECT_TRUE(framesSeen.empty());
    EXPECT_EQ(readTextFile(output() + "/match_pairs.txt"), "\n");
    const std::vector<Arguments> invocations = fake.invocations();
    ASSERT_EQ(invocations.size(), 4u);
    const Arguments& extraction = invocations[0];
    const auto params = std::find(extraction.begin(), extraction.end(), "--ImageReader.camera_params");
    ASSERT_NE(params, extraction.end());
    EXPECT_EQ(*(params - 1), "OPENCV");
    // The four PINHOLE values, then eight characters for k1, k2, p1, p2.
    EXPECT_EQ(*(params + 1), "859.2380,859.2380,1024.0,1024.0,0,0,0,0");
    EXPECT_EQ(std::count(params[1].begin(), params[1].end(), ','), 7);
    EXPECT_THAT(invocations[1], ElementsAre(glog(), "rig_configurator", "--database_path", database(),
                                            "--rig_config_path", output() + "/rig_config.json"));
    EXPECT_EQ(invocations[2].at(1), "matches_importer");
    EXPECT_THAT(invocations[3], ElementsAre(glog(), "mapper", "--database_path", database(), "--image_path", images(),
                                            "--output_path", sparse(), "--Mapper.num_threads", threads(),
                                            "--Mapper.ba_refine_focal_length", "1",
                                            "--Mapper.ba_refine_principal_point", "1",
                                            "--Mapper.ba_refine_extra_params", "1"));
    EXPECT_THAT(log(), ::testing::Contains("Match plan: 0 rig frames × 2 crops → 0 pairs"));
}

TEST_F(COLMAPRunnerFixture, RigDescriptionErrorPropagatesAfterExtraction) {
    FakeCOLMAP fake;
    Rig360Config rig = twoCameraRig(nullptr);
    rig.layout.rigConfigJSON = []() -> std::string { throw std::runtime_error("JSON writer failed"); };
    EXPECT_THROW(
        {
            try {
                run(fake, {.rig = rig});
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "JSON writer failed");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_THAT(fake.commands(), ElementsAre("feature_extractor"));
}

TEST_F(COLMAPRunnerFixture, VersionIsAskedOnceAndEachStepReportsItsPid) {
    FakeCOLMAP fake;
    std::vector<int32_t> pids;
    runner_ = std::make_unique<COLMAPRunner>(fake.path().string());
    runner_->onPidLaunched = [&pids](int32_t pid) { pids.push_back(pid); };
    runAgain({});
    runAgain({});
    EXPECT_EQ(fake.probeCount(), 1);
    EXPECT_EQ(pids.size(), 6u);
    for (int32_t pid : pids) EXPECT_GT(pid, 0);
}

// ---- Failures ----

struct StepFailure {
    std::string name;
    std::string help;
    bool rig;
    bool global;
    std::string command;
    std::string failure;
    std::string description;
    COLMAPRunner::COLMAPErrorKind kind;
    Arguments commandsRun;
};

class COLMAPRunnerStepFailure : public COLMAPRunnerFixture, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(COLMAPRunnerStepFailure, ThrowsTheStepsErrorAndRunsNothingAfter) {
    const StepFailure& step = GetParam();
    FakeCOLMAP fake({.help = step.help, .failingCommand = step.command, .failure = step.failure});
    RunParameters parameters{.useGlobalMapper = step.global};
    if (step.rig) parameters.rig = twoCameraRig(nullptr);
    try {
        run(fake, parameters);
        FAIL() << "the run succeeded";
    } catch (const COLMAPRunner::COLMAPError& error) {
        EXPECT_STREQ(error.what(), step.description.c_str());
        EXPECT_EQ(error.kind(), step.kind);
        EXPECT_EQ(error.cause, std::nullopt);
        EXPECT_EQ(error.describedWithCause(), step.description);
    }
    EXPECT_EQ(fake.commands(), step.commandsRun);
    EXPECT_THAT(log(), ::testing::Not(::testing::Contains("✓ COLMAP pipeline completed successfully.")));
    EXPECT_TRUE(fs::is_directory(sparse()));
}

using Kind = COLMAPRunner::COLMAPErrorKind;
INSTANTIATE_TEST_SUITE_P(
    EveryStep, COLMAPRunnerStepFailure,
    ::testing::Values(StepFailure{"extraction", debianHelp, false, false, "feature_extractor", "exit 3",
                                  "Feature extraction failed (exit 3)", Kind::featureExtractionFailed,
                                  {"feature_extractor"}},
                      StepFailure{"rigConfiguration", currentHelp, true, false, "rig_configurator", "exit 2",
                                  "360 rig configuration failed (exit 2)", Kind::rigConfigurationFailed,
                                  {"feature_extractor", "rig_configurator"}},
                      StepFailure{"matcherTerminated", debianHelp, false, false, "exhaustive_matcher", "kill -TERM $$",
                                  "Feature matching failed (exit -15)", Kind::matchingFailed,
                                  {"feature_extractor", "exhaustive_matcher"}},
                      StepFailure{"matchesImporter", debianHelp, true, false, "matches_importer", "exit 1",
                                  "Feature matching failed (exit 1)", Kind::matchingFailed,
                                  {"feature_extractor", "matches_importer"}},
                      StepFailure{"mapper", debianHelp, false, false, "mapper", "exit 1", "Sparse reconstruction failed (exit 1)",
                                  Kind::reconstructionFailed, {"feature_extractor", "exhaustive_matcher", "mapper"}},
                      StepFailure{"globalMapperKilled", currentHelp, false, true, "global_mapper", "kill -KILL $$",
                                  "Sparse reconstruction failed (exit -9)", Kind::reconstructionFailed,
                                  {"feature_extractor", "exhaustive_matcher", "global_mapper"}}),
    [](const auto& info) { return info.param.name; });

// The step's last error line is the failure's cause; lines of its log that
// merely mention errors are not.
TEST_F(COLMAPRunnerFixture, AFailedStepKeepsCOLMAPsLastErrorLineAsItsCause) {
    FakeCOLMAP fake({.failingCommand = "exhaustive_matcher",
                     .failure = "{ echo 'E20261208 12:00:00.000000  1234 database.cc:12] Corrupt table'; "
                                "echo 'ERROR: Feature matching needs a database'; "
                                "echo 'Mean reprojection error: 0.5px'; echo 'WARNING: few matches'; "
                                "echo 'F1208 12:00:01.000000  1234 matching.cc:99] Check failed: num_images > 0'; "
                                "echo '*** Check failure stack trace: ***'; } >&2; exit 1"});
    try {
        run(fake, {});
        FAIL() << "the run succeeded";
    } catch (const COLMAPRunner::COLMAPError& error) {
        EXPECT_STREQ(error.what(), "Feature matching failed (exit 1)");
        EXPECT_EQ(error.describedWithCause(), "Feature matching failed (exit 1): Check failed: num_images > 0");
    }
}

TEST(COLMAPErrorCause, ReadsEachErrorLineShapeAndBoundsItsLength) {
    using Error = COLMAPRunner::COLMAPError;
    const std::pair<std::string, std::optional<std::string>> lines[] = {
        {"E1208 12:00:00.000000 1234 file.cc:123] message", "message"},
        {"F20261208 23:59:59.999999  77 file.cc:1] fatal message\r", "fatal message"},
        {"ERROR: failed to create sparse model", "failed to create sparse model"},
        {"[option_manager.cc:815] Check failed: ExistsDir(*image_path)", "Check failed: ExistsDir(*image_path)"},
        {"SQLite error [./src/base/database.cc, line 267]: file is not a database",
         "SQLite error [./src/base/database.cc, line 267]: file is not a database"},
        {"I1208 12:00:00.000000 1234 file.cc:123] information", std::nullopt},
        {"Elapsed time: 0.001 [minutes]", std::nullopt},
        {"E1208 12:00 not glog] text", std::nullopt},
        {"ERROR: ", std::nullopt},
        {"  Mean reprojection error: 0.5px", std::nullopt},
    };
    for (const auto& [line, cause] : lines) EXPECT_EQ(Error::causeOf(line), cause) << line;
    // A long line is cut at a character boundary and says so.
    const std::string longCause = std::string(Error::maxCauseLength - 1, 'x') + "é and more";
    EXPECT_EQ(Error::causeOf("ERROR: " + longCause), std::string(Error::maxCauseLength - 1, 'x') + "…");
}

TEST_F(COLMAPRunnerFixture, MapperThatWritesNoModelIsAFailureNotASuccess) {
    FakeCOLMAP fake({.writesModel = false});
    try {
        run(fake, {});
        FAIL() << "the run succeeded";
    } catch (const COLMAPRunner::COLMAPError& error) {
        EXPECT_EQ(error.kind(), Kind::reconstructionEmpty);
        EXPECT_EQ(std::string(error.what()),
                  "Sparse reconstruction failed: COLMAP wrote no model (no cameras.bin, images.bin and points3D.bin "
                  "in " + sparse() + "/0)");
    }
    EXPECT_THAT(log(), ::testing::Not(::testing::Contains("✓ COLMAP pipeline completed successfully.")));
}

TEST_F(COLMAPRunnerFixture, LargestSubModelBecomesSparseZeroBeforeTheSuccessLine) {
    TempDir models("sub-models");
    COLMAPUtils::writeModel(tessaron::testing::makeModel(3, 4, 2), models / "0");
    COLMAPUtils::writeModel(tessaron::testing::makeModel(15, 20, 3), models / "1");
    FakeCOLMAP fake({.modelSource = models.path().string()});
    run(fake, {});

    const std::vector<std::string> lines = log();
    EXPECT_THAT(std::vector<std::string>(lines.end() - 3, lines.end()),
                ElementsAre("fake mapper output",
                            "Sub-model selection: 2 sub-models found; promoted sparse/1 (15 images) to sparse/0.",
                            "✓ COLMAP pipeline completed successfully."));
    EXPECT_EQ(COLMAPUtils::readImages(sparse() + "/0/images.bin").size(), 15u);
    EXPECT_TRUE(fs::is_directory(sparse() + "/0_stub_3images"));
}

TEST_F(COLMAPRunnerFixture, OptionsOutOfRangeAreRefusedByNameBeforeAnythingRuns) {
    FakeCOLMAP fake;
    COLMAPRunner runner(fake.path().string());
    Rig360Config rigWithoutFiles;
    rigWithoutFiles.layout.cameraCount = 2;
    rigWithoutFiles.layout.referenceCameraName = "cam0";
    const std::pair<COLMAPRunner::Options, std::string> cases[] = {
        {{.outputPath = output()}, "COLMAP option imagePath is empty"},
        {{.imagePath = images()}, "COLMAP option outputPath is empty"},
        {{.imagePath = images(), .outputPath = output(), .rig = rigWithoutFiles},
         "COLMAP option rig.layout lacks its file makers"},
    };
    for (const auto& [options, message] : cases)
        EXPECT_THROW(
            try { runner.run(options); } catch (const COLMAPRunner::OptionsError& error) {
                EXPECT_EQ(error.what(), message);
                throw;
            },
            COLMAPRunner::OptionsError);
    EXPECT_TRUE(fake.invocations().empty());
    EXPECT_FALSE(fs::exists(output()));
}

TEST_F(COLMAPRunnerFixture, MissingExecutableCreatesNothing) {
    const std::string missing = (workspace_ / "Resources" / "colmap").string();
    COLMAPRunner runner(missing);
    std::vector<std::string> lines;
    runner.onLog = [&lines](const std::string& line) { lines.push_back(line); };
    try {
        runner.run({.imagePath = images(), .outputPath = output(), .useGPU = false, .snapshotPath = snapshots()});
        FAIL() << "the run succeeded";
    } catch (const COLMAPRunner::COLMAPError& error) {
        EXPECT_EQ(error.kind(), Kind::binaryNotFound);
        EXPECT_EQ(error.path, missing);
        EXPECT_EQ(std::string(error.what()), "COLMAP engine not found in the app bundle (expected at " + missing +
                                                 "). Install Debian's colmap package — or in a dev checkout, run "
                                                 "scripts/setup.sh.");
    }
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(fs::exists(output()));
}

TEST_F(COLMAPRunnerFixture, LatchedRunnerStartsNothingAndThrowsCancellation) {
    FakeCOLMAP fake;
    runner_ = std::make_unique<COLMAPRunner>(fake.path().string());
    runner_->runner().cancel();
    EXPECT_THROW(runAgain({}), tessaron::core::CancellationError);
    EXPECT_EQ(fake.probeCount(), 0);
    EXPECT_TRUE(fake.invocations().empty());

    runner_->runner().resetCancel();
    runAgain({});
    EXPECT_EQ(fake.commands(), (Arguments{"feature_extractor", "exhaustive_matcher", "mapper"}));
}

// SQLite's words on standard error, then the abort COLMAP's check makes of it.
TEST_F(COLMAPRunnerFixture, AFullDiskIsNamedInsteadOfTheStepsFailure) {
    for (const char* message : {"database or disk is full", "write failed: No space left on device"}) {
        SCOPED_TRACE(message);
        FakeCOLMAP fake({.failingCommand = "mapper",
                         .failure = std::string("echo 'E1207 sqlite3.cc:12] ") + message + "' >&2; exit 1"});
        try {
            run(fake, {});
            FAIL() << "the run succeeded";
        } catch (const COLMAPRunner::COLMAPError& error) {
            EXPECT_EQ(error.kind(), COLMAPRunner::COLMAPErrorKind::diskFull);
            EXPECT_EQ(std::string(error.what()),
                      "The disk is full: COLMAP could not write to " + output() + " (exit 1). Free some space and run again.");
            EXPECT_EQ(error.path, output());
        }
    }
}
