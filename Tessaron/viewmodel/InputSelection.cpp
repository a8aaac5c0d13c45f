#include "viewmodel/PipelineViewModel.hpp"

#include <QFileInfo>
#include <QMimeDatabase>
#include <QUrl>

#include <vector>

#include "engines/COLMAPRunner.hpp"
#include "engines/COLMAPVersion.hpp"
#include "engines/ProcessRunner.hpp"
#include "pipeline/PhotoFolderCheck.hpp"

namespace tessaron::viewmodel {

namespace {

// Only a file whose type is video/* counts as a video, whatever else can
// carry pictures and sound.
bool isVideoFile(const std::filesystem::path& file) {
    return QMimeDatabase().mimeTypeForFile(QString::fromStdString(file.string())).name().startsWith(
        QLatin1String("video/"));
}

const QString wrongInputMessage =
    QStringLiteral("\u201c%1\u201d is neither a folder nor a video. Choose a folder of photos or a video file.");

}  // namespace

template <typename Result>
void PipelineViewModel::runInBackground(std::function<Result()> work, std::function<void(Result)> publish) {
    const uint64_t id = nextBackgroundTask_++;
    // The worker names this object only inside work posted to the main
    // thread, which runs only while the object lives; the destructor joins
    // the workers still running.
    backgroundTasks_.emplace(id, std::jthread([this, id, post = executor(), work = std::move(work),
                                               publish = std::move(publish)]() mutable {
                                 Result result = work();
                                 post([this, id, publish = std::move(publish), result = std::move(result)] {
                                     // Posted as the worker's last act: joining it is immediate.
                                     backgroundTasks_.erase(id);
                                     publish(result);
                                 });
                             }));
}

PipelineViewModel::InputAnalysis PipelineViewModel::measureInput(const std::filesystem::path& url, bool isVideo,
                                                                 int64_t stride) {
    InputAnalysis analysis;
    if (!isVideo) {
        analysis.profile = engines::DatasetProfile::scan(url);
        try {
            if (auto warning = pipeline::PhotoFolderCheck::survey(url).warning())
                analysis.photoWarning = QString::fromStdString(*warning);
        } catch (const pipeline::PhotoFolderCheck::Error&) {
            // A folder that cannot be listed has no profile either: the
            // card says the analysis failed, and the run names the cause.
        }
        return analysis;
    }
    analysis.profile = engines::DatasetProfile::probe(url, stride);
    analysis.detection = input::Spherical360Detection::detect(url);
    return analysis;
}

void PipelineViewModel::selectInput(const std::filesystem::path& url, bool isVideo) {
    setSelectedInputURL(url);
    setIsInputVideo(isVideo);
    // The old input's results go at once, never shown beside the new input.
    setSpherical360Detection({});
    setDatasetProfile({});
    setPhotoFolderWarning({});
    analyzeInput();
}

void PipelineViewModel::chooseInput() {
    if (isTourSample_) return;
    DialogService::OpenRequest request;
    request.title = QStringLiteral("Choose a folder of photos or a video");
    request.canChooseFiles = true;
    request.canChooseFolders = true;
    request.fileTypes = {QStringLiteral("video/*")};
    request.fileTypesName = QStringLiteral("Videos");
    request.wrongTypeMessage = wrongInputMessage;
    const std::optional<std::filesystem::path> url = dialogs().open(request);
    if (!url) return;
    std::error_code error;
    const bool isFolder = std::filesystem::is_directory(*url, error) && !error;
    if (!isFolder && !isVideoFile(*url)) {
        // A panel that let it through still gets an answer, never silence.
        dialogs().message(request.title, wrongInputMessage.arg(QString::fromStdString(url->filename().string())));
        return;
    }
    selectInput(*url, !isFolder);
}

bool PipelineViewModel::canTakeDrop(const QMimeData& data) const {
    if (isTourSample_ || !data.hasUrls() || data.urls().isEmpty()) return false;
    // Only the first item of a drop is looked at.
    const QUrl first = data.urls().constFirst();
    if (!first.isLocalFile()) return false;
    return QFileInfo(first.toLocalFile()).isDir() || isVideoFile(first.toLocalFile().toStdString());
}

bool PipelineViewModel::handleDrop(const QMimeData& data) {
    if (!canTakeDrop(data)) return false;
    const QString first = data.urls().constFirst().toLocalFile();
    const std::filesystem::path url = first.toStdString();
    const bool isFolder = QFileInfo(first).isDir();
    // Taken now, stored once the drop itself has ended.
    executor()([this, url, isFolder] { selectInput(url, !isFolder); });
    return true;
}

void PipelineViewModel::analyzeInput() {
    if (!selectedInputURL_) {
        setDatasetProfile({});
        setPhotoFolderWarning({});
        return;
    }
    setIsAnalyzingInput(true);
    const uint64_t generation = ++analysisGeneration_;
    const std::filesystem::path url = *selectedInputURL_;
    const bool isVideo = isInputVideo_;
    runInBackground<InputAnalysis>(
        [analyzer = inputAnalyzer_, url, isVideo, stride = settings_.frameExtractionRate] {
            return analyzer(url, isVideo, stride);
        },
        [this, generation, url](InputAnalysis analysis) {
            // A newer analysis has started: this one is stale.
            if (generation != analysisGeneration_) return;
            setIsAnalyzingInput(false);
            // The input changed without a new analysis: nothing to show for it.
            if (selectedInputURL_ != url) return;
            setDatasetProfile(analysis.profile);
            setPhotoFolderWarning(analysis.photoWarning);
            setSpherical360Detection(analysis.detection);
            setTreatAs360(false);
        });
}

void PipelineViewModel::chooseCOLMAPFolder() {
    DialogService::OpenRequest request;
    request.title = QStringLiteral("Select COLMAP Output Folder");
    request.message =
        QStringLiteral("Choose a folder containing sparse/0/ with cameras.bin, images.bin, points3D.bin");
    const std::optional<std::filesystem::path> folder = dialogs().open(request);
    if (!folder) return;
    const std::filesystem::path sparse = *folder / "sparse" / "0";
    ++sceneAnalysisGeneration_;
    std::error_code error;
    if (!std::filesystem::exists(sparse, error)) {
        setColmapDataURL({});
        setSceneAnalysis({});
        return;
    }
    setColmapDataURL(*folder);
    runInBackground<OptionalSceneAnalysis>(
        [analyzer = sceneAnalyzer_, sparse]() -> OptionalSceneAnalysis {
            if (analyzer) return analyzer(sparse);
            try {
                return engines::SceneAnalysis::analyze(sparse, 2, 2);
            } catch (const std::exception&) {
                // A model that cannot be read has no analysis to show; the
                // run's import of it reports what is wrong.
                return std::nullopt;
            }
        },
        [this, generation = sceneAnalysisGeneration_, folder = *folder](OptionalSceneAnalysis analysis) {
            if (generation != sceneAnalysisGeneration_ || settings_.colmapDataURL != folder) return;
            setSceneAnalysis(analysis);
        });
}

// Whether COLMAP extracts features on the GPU here: asked of the program
// once per model, in the background, so that the form names what runs.
OptionalFlag PipelineViewModel::probeCOLMAPCUDA(const std::string& program) {
    std::vector<std::string> lines;
    engines::ProcessRunner runner;
    try {
        const int32_t status = runner.run({.executablePath = program, .arguments = {"-h"}},
                                          [&lines](const std::string& line) { lines.push_back(line); });
        if (status != 0) return std::nullopt;
    } catch (const engines::ProcessRunner::ProcessError&) {
        // No COLMAP to ask: the form names no hardware, and the run reports
        // the missing program in its own words.
        return std::nullopt;
    }
    const engines::COLMAPVersion version = engines::COLMAPVersion::fromHelpOutput(lines);
    if (!version.known) return std::nullopt;
    return !version.withoutCUDA;
}

OptionalFlag PipelineViewModel::colmapExtractsOnGPU() const {
    if (!colmapHasCUDA_) return std::nullopt;
    // The runner's rule: a build without CUDA always extracts on the CPU.
    return *colmapHasCUDA_ && settings_.useGPUSIFT;
}

void PipelineViewModel::checkCOLMAPHardware() {
    // Asked once; an answer already given (a test's, the tour's) stands.
    if (colmapHardwareAsked_ || colmapHasCUDA_) return;
    colmapHardwareAsked_ = true;
    const std::string program = engines::COLMAPRunner(configuration_.manager.colmapPath).colmapPath();
    runInBackground<OptionalFlag>([program] { return probeCOLMAPCUDA(program); },
                                  [this](OptionalFlag hasCUDA) { setColmapHasCUDA(hasCUDA); });
}

}  // namespace tessaron::viewmodel
