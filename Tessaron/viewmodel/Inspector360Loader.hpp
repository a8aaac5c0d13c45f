#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include <QImage>
#include <QObject>
#include <QString>

#include <opencv2/core/mat.hpp>

#include "input/CropLayout.hpp"
#include "input/EquirectProjector.hpp"
#include "input/PersonMaskMode.hpp"
#include "input/PersonSegmenter.hpp"
#include "viewmodel/MainThreadExecutor.hpp"

namespace tessaron::viewmodel {

// What one inspector run shows of a 360° video: its first frame, the
// layout's crops at thumbnail size, their borders on the frame and, per
// crop, the crop with its people tinted (absent when nobody was found).
struct Inspector360Rendering {
    QImage equirect;
    std::vector<QImage> crops;
    std::vector<std::optional<QImage>> maskedCrops;
    // Per crop, its border on `equirect` in that image's pixels.
    std::vector<std::vector<input::EquirectProjector::Polyline>> footprints;
};

// Renders the inspector's crops on worker threads. Each load() supersedes
// the ones before it: they are asked to stop, and whatever they still
// produce is dropped, so only the newest request ever reports. The crops
// are rendered at thumbnail size: the projection does not depend on the
// output size, and one run holds tens of MB instead of a gigabyte.
//
// Threads: the object and its signals belong to the GUI thread; each run
// works on a std::jthread of its own, which touches nothing of the object
// but its report, posted to the GUI thread through the Qt executor. The
// destructor stops and joins the runs still working; a report already
// queued by then is dropped.
class Inspector360Loader : public QObject {
    Q_OBJECT
public:
    using SegmenterFactory = std::function<std::shared_ptr<input::PersonSegmenter>()>;
    struct Options {
        // Side of a rendered crop; the person detector looks at crops of
        // this size, as it does at the run's full size.
        int cropSize = 640;
        // Widest the frame is kept for showing.
        int frameWidth = 1280;
        // Makes one segmenter per crop, called on the masking threads at
        // once; none: the person masker's own.
        SegmenterFactory makeSegmenter;
    };
    struct Request {
        std::filesystem::path input;
        input::CropLayoutPreset preset = input::CropLayoutPreset::fullSphere16;
        input::PersonMaskMode maskMode = input::PersonMaskMode::off;
    };

    explicit Inspector360Loader(QObject* parent = nullptr);
    explicit Inspector360Loader(Options options, QObject* parent = nullptr);
    ~Inspector360Loader() override;

    // Starts a run for `request`; the runs before it are superseded.
    void load(const Request& request);
    // Supersedes every run without starting a new one.
    void cancel();
    // Runs whose threads have not ended yet (superseded ones included).
    std::size_t workingRuns() const { return runs_.size(); }

    // One whole run on the calling thread. Throws the frame grab's or the
    // projector's error, or core::CancellationError once `stop` is requested.
    static Inspector360Rendering render(const Request& request, const Options& options, std::stop_token stop);
    // The crop as RGB with the pixels where `mask` is 0 painted over in
    // red 1.0, green 0.1, blue 0.2 at alpha 0.5.
    static QImage tintPeople(const cv::Mat& crop, const cv::Mat& mask);

signals:
    // The newest run's result.
    void loaded(std::shared_ptr<const Inspector360Rendering> rendering);
    // The newest run failed: "Could not render crops: " and the reason.
    void failed(const QString& message);

private:
    void runEnded(uint64_t generation);

    Options options_;
    uint64_t generation_ = 0;
    std::map<uint64_t, std::jthread> runs_;
    // Declared last, so that it goes first: nothing posted runs once the
    // loader is being destroyed.
    MainThreadExecutor mainThread_;
};

}  // namespace tessaron::viewmodel
