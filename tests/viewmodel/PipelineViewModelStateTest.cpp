#include <gtest/gtest.h>

#include <QMetaProperty>
#include <QSignalSpy>
#include <QTest>
#include <QVariant>

#include <atomic>
#include <map>
#include <set>

#include "engines/PhysicalMemory.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using pipeline::PipelineState;
using viewmodel::PipelineViewModel;
using Kind = PipelineState::Kind;

const ::testing::Environment* const privateUserFolders =
    ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

TEST_F(ViewModelTest, FreshObjectHasEveryDefault) {
    auto model = makeViewModel();
    EXPECT_EQ(model->currentState(), PipelineState(Kind::idle));
    EXPECT_EQ(model->totalCells(), 1);
    EXPECT_EQ(model->currentCellIndex(), 0);
    EXPECT_EQ(model->cropLayoutPreset(), input::CropLayoutPreset::fullSphere16);
    EXPECT_EQ(model->personMaskMode(), input::PersonMaskMode::allPeople);
    EXPECT_EQ(model->ramUsageString(), "0 MB");
    EXPECT_EQ(model->trainingCapMax(), 1000000);
    EXPECT_EQ(model->frameExtractionRate(), 10);
    EXPECT_EQ(model->trainingIterations(), 30000);
    EXPECT_TRUE(model->sharpnessFilterEnabled());
    EXPECT_EQ(model->sharpnessThreshold(), 50.0);
    EXPECT_TRUE(model->colmapUseSingleCamera());
    EXPECT_TRUE(model->trevikEvalMode());
    EXPECT_EQ(model->trevikDownscaleFactor(), 0);
    EXPECT_TRUE(model->useVastGaussian());
    EXPECT_FALSE(model->useGlobalMapper());
    EXPECT_TRUE(model->useGPUSIFT());
    EXPECT_FALSE(model->useAggressiveSIFT());
    EXPECT_EQ(model->sfmViewsPerFrame(), 1);
    EXPECT_FALSE(model->engineRamString().has_value());
    EXPECT_FALSE(model->runReport().has_value());
    EXPECT_FALSE(model->isBusy());
    EXPECT_FALSE(model->canStart());
    EXPECT_EQ(model->currentStepTitle(), "Idle");
    EXPECT_FALSE(model->colmapSparseDir().has_value());
    EXPECT_FALSE(model->estimatedTimeRemaining().has_value());
    for (const viewmodel::StepProgress& status : model->stepStatuses())
        EXPECT_EQ(status, viewmodel::StepProgress::none());
}

TEST_F(ViewModelTest, ManagerExistsAfterConstructionAndStaysTheSame) {
    auto model = makeViewModel();
    auto first = model->pipelineManager();
    ASSERT_TRUE(first);
    EXPECT_EQ(model->pipelineManager(), first);
    EXPECT_EQ(ModelAccess::runReportFolder(*model), support_.path() / "Logs");
}

// ---- Model size clamp ------------------------------------------------------------

struct CapCase {
    qint64 stored;
    qint64 kept;
};

class CapClamp : public ViewModelTest, public ::testing::WithParamInterface<CapCase> {};

TEST_P(CapClamp, KeepsTheCapInRangeWithOneSignal) {
    auto model = makeViewModel();
    QSignalSpy changes(model.get(), &PipelineViewModel::trainingCapMaxChanged);
    model->setTrainingCapMax(GetParam().stored);
    EXPECT_EQ(model->trainingCapMax(), GetParam().kept);
    EXPECT_EQ(changes.count(), 1);  // never the unclamped value first
    model->setTrainingCapMax(GetParam().stored);
    EXPECT_EQ(changes.count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Limits, CapClamp,
                         ::testing::Values(CapCase{-1, 0}, CapCase{0, 0}, CapCase{8000000, 8000000},
                                           CapCase{8000001, 8000000}, CapCase{9000000, 8000000},
                                           CapCase{-9000000000, 0}, CapCase{50000, 50000}));

// ---- Memory budget default -------------------------------------------------------

struct MemoryCase {
    uint64_t bytes;
    double limitGB;
};

class RamLimitDefault : public ViewModelTest, public ::testing::WithParamInterface<MemoryCase> {};

// Whole GB, as the form's slider and every text shows it.
TEST_P(RamLimitDefault, IsPhysicalGiBLessThreeCutToWholeAtLeastFour) {
    auto model = makeViewModel(GetParam().bytes);
    EXPECT_DOUBLE_EQ(model->ramLimitGB(), GetParam().limitGB);
}

INSTANTIATE_TEST_SUITE_P(Machines, RamLimitDefault,
                         ::testing::Values(MemoryCase{gibibytes(8), 5}, MemoryCase{gibibytes(15.5), 12},
                                           MemoryCase{gibibytes(23.99), 20},
                                           MemoryCase{gibibytes(16), 13}, MemoryCase{gibibytes(64), 61},
                                           MemoryCase{gibibytes(7), 4}, MemoryCase{0, 4}));

TEST(RamLimitDefaultOfThisMachine, FollowsItsPhysicalMemory) {
    PipelineViewModel model;
    EXPECT_DOUBLE_EQ(model.ramLimitGB(), viewmodel::defaultRamLimitGB(engines::physicalMemoryBytes()));
    EXPECT_GE(model.ramLimitGB(), 4);
}

// ---- The start gate ----------------------------------------------------------------

// A model that could start but for what a case changes.
std::unique_ptr<PipelineViewModel> readyToStart(std::unique_ptr<PipelineViewModel> model) {
    model->setSelectedInputURL(std::filesystem::path("/photos"));
    model->setTrainingCapMax(50000);
    return model;
}

TEST_F(ViewModelTest, CanStartNeedsAnInputAndAModelSizeOfFiftyThousand) {
    auto model = makeViewModel();
    model->setTrainingCapMax(50000);
    EXPECT_FALSE(model->canStart());
    QSignalSpy gate(model.get(), &PipelineViewModel::canStartChanged);
    model->setSelectedInputURL(std::filesystem::path("/photos"));
    EXPECT_TRUE(model->canStart());
    model->setTrainingCapMax(49999);
    EXPECT_FALSE(model->canStart());
    model->setTrainingCapMax(50000);
    EXPECT_TRUE(model->canStart());
    EXPECT_EQ(gate.count(), 3);
}

TEST_F(ViewModelTest, CanStartWithSkippedCOLMAPNeedsItsFolder) {
    auto model = readyToStart(makeViewModel());
    model->setSkipSfM(true);
    EXPECT_FALSE(model->canStart());
    model->setColmapDataURL(std::filesystem::path("/model"));
    EXPECT_TRUE(model->canStart());
    model->setIsAnalyzingInput(true);
    EXPECT_FALSE(model->canStart());
}

struct DetectionCase {
    const char* name;
    bool isVideo;
    viewmodel::OptionalDetection detection;
    bool blocks;
};

class Likely360 : public ViewModelTest, public ::testing::WithParamInterface<DetectionCase> {};

TEST_P(Likely360, BlocksTheStartOnlyForAStrongDetectionOfAVideo) {
    auto model = readyToStart(makeViewModel());
    model->setIsInputVideo(GetParam().isVideo);
    model->setSpherical360Detection(GetParam().detection);
    EXPECT_EQ(model->isLikely360Video(), GetParam().blocks);
    EXPECT_EQ(model->canStart(), !GetParam().blocks);
}

using Detection = input::Spherical360Detection;
INSTANTIATE_TEST_SUITE_P(
    Detections, Likely360,
    ::testing::Values(DetectionCase{"none", true, std::nullopt, false},
                      DetectionCase{"likely", true, Detection::likelyEquirectangular(), false},
                      DetectionCase{"equirect", true, Detection::equirectangular(Detection::MetadataSource::sv3dEquiBox),
                                    true},
                      DetectionCase{"container", true, Detection::proprietaryContainer("insv"), true},
                      DetectionCase{"fisheye", true, Detection::dualFisheye(), true},
                      DetectionCase{"photos", false, Detection::dualFisheye(), false}),
    [](const auto& info) { return std::string(info.param.name); });

struct BusyCase {
    PipelineState state;
    bool busy;
};

class BusyStates : public ViewModelTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyStates, WorkingStatesAreBusyAndBlockTheStart) {
    auto model = readyToStart(makeViewModel());
    model->setCurrentState(GetParam().state);
    EXPECT_EQ(model->isBusy(), GetParam().busy);
    EXPECT_EQ(model->canStart(), !GetParam().busy);
    model->setHasActiveOperation(true);
    EXPECT_TRUE(model->isBusy());
    EXPECT_FALSE(model->canStart());
}

INSTANTIATE_TEST_SUITE_P(States, BusyStates,
                         ::testing::Values(BusyCase{Kind::idle, false}, BusyCase{Kind::extractingFrames, true},
                                           BusyCase{Kind::processingSfM, true}, BusyCase{Kind::preparingData, true},
                                           BusyCase{Kind::awaitingPartitionApproval, true},
                                           BusyCase{Kind::materializingCells, true}, BusyCase{Kind::training, true},
                                           BusyCase{Kind::exporting, true}, BusyCase{Kind::completed, false},
                                           BusyCase{PipelineState::error("COLMAP failed"), false}));

TEST_F(ViewModelTest, AnActiveTaskBlocksTheStartUntilItEnds) {
    auto model = readyToStart(makeViewModel());
    std::atomic<bool> release = false;
    QSignalSpy gate(model.get(), &PipelineViewModel::canStartChanged);
    ModelAccess::runTrackedOperation(*model, [&release](std::stop_token) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    EXPECT_TRUE(ModelAccess::hasActiveTask(*model));
    EXPECT_FALSE(model->canStart());
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model); }, 30000));
    EXPECT_TRUE(model->canStart());
    EXPECT_EQ(gate.count(), 2);
}

// ---- Paths -------------------------------------------------------------------------

TEST_F(ViewModelTest, SparseFolderPrefersTheExistingModelAndSnapshotsNeedCOLMAP) {
    auto model = makeViewModel();
    model->setCurrentWorkspaceURL(std::filesystem::path("/out/Tessaron_workspace"));
    EXPECT_EQ(model->colmapSparseDir(), std::filesystem::path("/out/Tessaron_workspace/colmap/sparse/0"));
    EXPECT_EQ(model->sfmSnapshotsURL(), std::filesystem::path("/out/Tessaron_workspace/colmap/snapshots"));
    model->setColmapDataURL(std::filesystem::path("/models/garden"));
    EXPECT_EQ(model->colmapSparseDir(), std::filesystem::path("/models/garden/sparse/0"));
    model->setSkipSfM(true);
    EXPECT_FALSE(model->sfmSnapshotsURL().has_value());
    model->setCurrentWorkspaceURL(std::nullopt);
    model->setSkipSfM(false);
    EXPECT_FALSE(model->sfmSnapshotsURL().has_value());
}

// ---- Change signals ------------------------------------------------------------------

// A value different from the default for every writable property.
std::map<std::string, QVariant> changedValues() {
    using namespace viewmodel;
    auto plan = std::make_shared<const partition::PartitionPlan>();
    auto preview = std::make_shared<const ConversionPreview>();
    auto snapshot = std::make_shared<const SfMLiveSnapshot>();
    pipeline::WorkspaceScanResult scan;
    scan.workspaceURL = "/out/Tessaron_workspace";
    partition::PartitionProgress progress;
    progress.cellCount = 3;
    return {
        {"currentState", QVariant::fromValue(PipelineState(Kind::training))},
        {"extractionLog", QVariant::fromValue(QString("frame 1"))},
        {"sfmLog", QVariant::fromValue(QString("Processed file [1/2]"))},
        {"dataPrepLog", QVariant::fromValue(QString("dataset"))},
        {"trainingLog", QVariant::fromValue(QString("step 1"))},
        {"exportLog", QVariant::fromValue(QString("merge"))},
        {"isLogMenuExpanded", true},
        {"showAdvanced", true},
        {"tourScrollTarget", QVariant::fromValue(OptionalText(QString("modelSize")))},
        {"isTourSample", true},
        {"iteration", QVariant::fromValue(qint64(1500))},
        {"splatCount", QVariant::fromValue(qint64(200000))},
        {"msPerStep", QVariant::fromValue(12.5f)},
        {"cpuUsage", QVariant::fromValue(37.5)},
        {"ramUsageString", QVariant::fromValue(QString("7.5 / 16 GB"))},
        {"engineRamString", QVariant::fromValue(OptionalText(QString("812 MB")))},
        {"currentCellIndex", QVariant::fromValue(qint64(2))},
        {"totalCells", QVariant::fromValue(qint64(4))},
        {"currentCellTargetIterations", QVariant::fromValue(OptionalCount(20000))},
        {"cellStartedAt", QVariant::fromValue(OptionalDate(QDateTime::fromSecsSinceEpoch(1800000000)))},
        {"completedCellDurations", QVariant::fromValue(CellDurations{100.0})},
        {"selectedInputURL", QVariant::fromValue(OptionalPath("/photos"))},
        {"isInputVideo", true},
        {"currentWorkspaceURL", QVariant::fromValue(OptionalPath("/out/Tessaron_workspace"))},
        {"frameExtractionRate", QVariant::fromValue(qint64(5))},
        {"trainingIterations", QVariant::fromValue(qint64(7000))},
        {"sharpnessFilterEnabled", false},
        {"sharpnessThreshold", QVariant::fromValue(80.0)},
        {"colmapUseSingleCamera", false},
        {"trevikEvalMode", false},
        {"trevikDownscaleFactor", QVariant::fromValue(qint64(2))},
        {"trainingCapMax", QVariant::fromValue(qint64(2000000))},
        {"useVastGaussian", false},
        {"useGlobalMapper", true},
        {"useGPUSIFT", false},
        {"useAggressiveSIFT", true},
        {"ramLimitGB", QVariant::fromValue(24.0)},
        {"diagnosticsEnabled", true},
        {"spherical360Detection", QVariant::fromValue(OptionalDetection(input::Spherical360Detection::dualFisheye()))},
        {"treatAs360", true},
        {"cropLayoutPreset", QVariant::fromValue(input::CropLayoutPreset::horizontal8)},
        {"personMaskMode", QVariant::fromValue(input::PersonMaskMode::operatorOnly)},
        {"sfmViewsPerFrame", QVariant::fromValue(qint64(8))},
        {"conversionPreview", QVariant::fromValue(ConversionPreviewPointer(preview))},
        {"show360Inspector", true},
        {"partitionPlan", QVariant::fromValue(PartitionPlanPointer(plan))},
        {"partitionProgress", QVariant::fromValue(OptionalPartitionProgress(progress))},
        {"materializedCellCount", QVariant::fromValue(qint64(1))},
        {"materializationTotalCells", QVariant::fromValue(qint64(4))},
        {"extractionCurrent", QVariant::fromValue(qint64(30))},
        {"extractionTotal", QVariant::fromValue(qint64(300))},
        {"sfmRegisteredImages", QVariant::fromValue(qint64(12))},
        {"sfmTotalImages", QVariant::fromValue(qint64(120))},
        {"latestSfMSnapshot", QVariant::fromValue(SnapshotPointer(snapshot))},
        {"datasetProfile", QVariant::fromValue(OptionalDatasetProfile(engines::DatasetProfile{}))},
        {"photoFolderWarning", QVariant::fromValue(OptionalText(QString("⚠ 1 file that looks like a photo")))},
        {"skipSfM", true},
        {"colmapDataURL", QVariant::fromValue(OptionalPath("/models/garden"))},
        {"colmapHasCUDA", QVariant::fromValue(viewmodel::OptionalFlag(false))},
        {"sceneAnalysis", QVariant::fromValue(OptionalSceneAnalysis(engines::SceneAnalysis{}))},
        {"outputPlyPath", QVariant::fromValue(OptionalText(QString("/out/output.ply")))},
        {"logFileURL", QVariant::fromValue(OptionalPath("/out/Tessaron_logs/run.md"))},
        {"workspaceScanResult", QVariant::fromValue(OptionalScanResult(scan))},
        {"hasActiveOperation", true},
        {"isCancelling", true},
        {"isAnalyzingInput", true},
    };
}

std::vector<QMetaProperty> ownProperties(const QObject& object) {
    const QMetaObject* meta = object.metaObject();
    std::vector<QMetaProperty> properties;
    for (int index = meta->propertyOffset(); index < meta->propertyCount(); ++index)
        properties.push_back(meta->property(index));
    return properties;
}

TEST_F(ViewModelTest, EveryPropertyNotifiesAndCanTellAChange) {
    auto model = makeViewModel();
    const auto values = changedValues();
    std::set<std::string> writable;
    for (const QMetaProperty& property : ownProperties(*model)) {
        SCOPED_TRACE(property.name());
        EXPECT_TRUE(property.hasNotifySignal());
        EXPECT_TRUE(property.metaType().isEqualityComparable());
        if (property.isWritable()) writable.insert(property.name());
    }
    std::set<std::string> listed;
    for (const auto& [name, value] : values) listed.insert(name);
    EXPECT_EQ(writable, listed) << "every setting needs a changed value in this test";
}

class PropertyChange : public ViewModelTest, public ::testing::WithParamInterface<std::string> {};

// Each write of a new value signals its own property once and each computed
// value exactly when it changed; writing it again signals nothing at all.
TEST_P(PropertyChange, SignalsOncePerRealChangeAndNeverForTheSameValue) {
    auto model = makeViewModel();
    const std::string name = GetParam();
    const QVariant value = changedValues().at(name);
    const auto properties = ownProperties(*model);

    std::vector<std::unique_ptr<QSignalSpy>> spies;
    std::vector<QVariant> before;
    for (const QMetaProperty& property : properties) {
        spies.push_back(std::make_unique<QSignalSpy>(model.get(), property.notifySignal()));
        before.push_back(property.read(model.get()));
    }
    const int own = model->metaObject()->indexOfProperty(name.c_str()) - model->metaObject()->propertyOffset();
    ASSERT_GE(own, 0);
    ASSERT_TRUE(properties[own].write(model.get(), value));
    ASSERT_NE(properties[own].read(model.get()), before[own]);

    for (size_t index = 0; index < properties.size(); ++index) {
        SCOPED_TRACE(properties[index].name());
        const bool changed = properties[index].read(model.get()) != before[index];
        EXPECT_EQ(spies[index]->count(), changed ? 1 : 0);
        spies[index]->clear();
    }
    ASSERT_TRUE(properties[own].write(model.get(), value));
    for (size_t index = 0; index < properties.size(); ++index) {
        SCOPED_TRACE(properties[index].name());
        EXPECT_EQ(spies[index]->count(), 0);
    }
}

std::vector<std::string> propertyNames() {
    std::vector<std::string> names;
    for (const auto& [name, value] : changedValues()) names.push_back(name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(AllSettings, PropertyChange, ::testing::ValuesIn(propertyNames()),
                         [](const auto& info) { return info.param; });

// ---- Workflow steps ----------------------------------------------------------------

TEST(WorkflowStepText, LabelsRoundTripInOrderAndNothingElseReads) {
    std::vector<std::string> labels;
    for (viewmodel::WorkflowStep step : viewmodel::allWorkflowSteps) {
        labels.push_back(viewmodel::toString(step));
        EXPECT_EQ(viewmodel::workflowStepFromString(labels.back()), step);
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"Input", "SfM", "Planning", "Training", "Final"}));
    EXPECT_FALSE(viewmodel::workflowStepFromString("input").has_value());
    EXPECT_FALSE(viewmodel::workflowStepFromString("").has_value());
}

TEST(WorkflowStepTest, EachStateBelongsToOneStepAndHasFinishedTheStepsBeforeIt) {
    using viewmodel::WorkflowStep;
    struct Expected {
        PipelineState state;
        std::optional<WorkflowStep> step;
        std::vector<WorkflowStep> finished;
    };
    const std::vector<Expected> table = {
        {PipelineState(Kind::idle), std::nullopt, {}},
        {PipelineState(Kind::extractingFrames), WorkflowStep::input, {}},
        {PipelineState(Kind::processingSfM), WorkflowStep::sfm, {WorkflowStep::input}},
        {PipelineState(Kind::preparingData), WorkflowStep::planning, {WorkflowStep::input, WorkflowStep::sfm}},
        {PipelineState(Kind::awaitingPartitionApproval), WorkflowStep::planning,
         {WorkflowStep::input, WorkflowStep::sfm}},
        {PipelineState(Kind::materializingCells), WorkflowStep::planning, {WorkflowStep::input, WorkflowStep::sfm}},
        {PipelineState(Kind::training), WorkflowStep::training,
         {WorkflowStep::input, WorkflowStep::sfm, WorkflowStep::planning}},
        {PipelineState(Kind::exporting), WorkflowStep::final,
         {WorkflowStep::input, WorkflowStep::sfm, WorkflowStep::planning, WorkflowStep::training}},
        {PipelineState(Kind::completed), WorkflowStep::final,
         {WorkflowStep::input, WorkflowStep::sfm, WorkflowStep::planning, WorkflowStep::training}},
        // A failed run shows its outcome in the Final step, and has finished nothing.
        {PipelineState::error("boom"), WorkflowStep::final, {}},
    };
    for (const Expected& expected : table) {
        const std::string name = pipeline::toString(expected.state);
        EXPECT_EQ(viewmodel::workflowStep(expected.state), expected.step) << name;
        std::vector<WorkflowStep> finished;
        for (WorkflowStep step : viewmodel::allWorkflowSteps)
            if (viewmodel::isStepFinished(step, expected.state)) finished.push_back(step);
        EXPECT_EQ(finished, expected.finished) << name;
    }
}

}  // namespace
}  // namespace tessaron::testing
