#include "viewer/ConverterModel.hpp"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMetaObject>

#include <algorithm>
#include <exception>
#include <set>

#include "viewer/CompleterClickThrough.hpp"

namespace tessaron::viewer {

namespace fs = std::filesystem;

namespace {

// Runs `work` on the main thread, after what is queued there already.
void onMainThread(std::function<void()> work) {
    if (auto* application = QCoreApplication::instance())
        QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
}

std::optional<fs::path> showOutputFolderPanel(const fs::path& startFolder) {
    QFileDialog panel(nullptr, QStringLiteral("Choose where to save the converted files"),
                      QString::fromStdString(startFolder.string()));
    panel.setFileMode(QFileDialog::Directory);
    panel.setOption(QFileDialog::ShowDirsOnly);
    // Qt's own panel, so the prompt reads "Save Here" on every desktop.
    panel.setOption(QFileDialog::DontUseNativeDialog);
    panel.setLabelText(QFileDialog::Accept, QStringLiteral("Save Here"));
    CompleterClickThrough::install(panel);
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty()) return std::nullopt;
    return fs::path(panel.selectedFiles().front().toStdString());
}

}  // namespace

bool ConverterModel::Item::State::operator==(const State& other) const {
    if (kind != other.kind) return false;
    if (kind == Kind::done) return output == other.output;
    if (kind == Kind::failed) return failure == other.failure;
    return true;
}

std::shared_ptr<ConverterModel> ConverterModel::create(const std::optional<fs::path>& initialURL,
                                                       std::shared_ptr<engines::SplatConverterRunner> runner) {
    if (!runner) runner = std::make_shared<engines::SplatConverterRunner>(std::make_shared<engines::ProcessRunner>());
    std::shared_ptr<ConverterModel> model(new ConverterModel(std::move(runner)));
    // Every progress and child line becomes the status line in turn; a line
    // that arrives after the model has gone is dropped.
    model->runner_->setOnLog([weakModel = std::weak_ptr<ConverterModel>(model)](const std::string& line) {
        onMainThread([weakModel, text = QString::fromStdString(line)] {
            if (auto alive = weakModel.lock()) alive->setStatusLine(text);
        });
    });
    // The initial file is queued without the checks of `add`.
    if (initialURL) model->append(*initialURL);
    return model;
}

ConverterModel::ConverterModel(std::shared_ptr<engines::SplatConverterRunner> runner)
    : runner_(std::move(runner)), chooseOutputFolder_(showOutputFolderPanel) {}

ConverterModel::~ConverterModel() { runner_->setOnLog({}); }

void ConverterModel::setFormat(engines::SplatOutputFormat format) {
    if (format == format_) return;
    format_ = format;
    emit formatChanged();
}

void ConverterModel::append(const fs::path& url) {
    queue_.push_back({QUuid::createUuid(), engines::SplatConverterRunner::standardised(url), Item::State::pending()});
}

void ConverterModel::add(const std::vector<fs::path>& urls) {
    std::set<fs::path> queued;
    for (const auto& item : queue_) queued.insert(item.url);
    bool added = false;
    for (const auto& url : urls) {
        if (queued.count(engines::SplatConverterRunner::standardised(url)) != 0) continue;
        append(url);
        added = true;
    }
    if (added) emit queueChanged();
}

void ConverterModel::remove(const QUuid& id) {
    auto removed = std::remove_if(queue_.begin(), queue_.end(), [&](const Item& item) { return item.id == id; });
    if (removed == queue_.end()) return;
    queue_.erase(removed, queue_.end());
    emit queueChanged();
}

ConverterModel::Item* ConverterModel::find(const QUuid& id) {
    auto found = std::find_if(queue_.begin(), queue_.end(), [&](const Item& item) { return item.id == id; });
    return found == queue_.end() ? nullptr : &*found;
}

void ConverterModel::setState(const QUuid& id, Item::State state) {
    Item* item = find(id);
    if (!item) return;
    item->state = std::move(state);
    emit queueChanged();
}

void ConverterModel::setStatusLine(const QString& line) {
    if (line == statusLine_) return;
    statusLine_ = line;
    emit statusLineChanged();
}

void ConverterModel::setRunning(bool running) {
    if (running == isRunning_) return;
    isRunning_ = running;
    emit isRunningChanged();
}

std::optional<fs::path> ConverterModel::backendPath(engines::SplatOutputFormat format) const {
    if (backendLookup_) return backendLookup_(format);
    return backend(format) == engines::SplatConverterBackend::splatConverter ? engines::SplatConverterRunner::resourceConverterPath()
                                                                    : engines::SplatConverterRunner::splatTransformPath();
}

void ConverterModel::startConversion() {
    if (isRunning_ || queue_.empty()) return;
    auto folder = chooseOutputFolder_(queue_.front().url.parent_path());
    if (!folder) return;

    setRunning(true);
    setStatusLine({});
    // The format is read once: a change of the picker during a run applies
    // to the next run.
    const engines::SplatOutputFormat format = format_;
    task_ = std::make_unique<Run>();
    task_->keepAlive = shared_from_this();
    onMainThread([weakModel = weak_from_this(), folder = *folder, format] {
        if (auto model = weakModel.lock()) model->runQueue(folder, format);
    });
}

void ConverterModel::runQueue(const fs::path& outputDirectory, engines::SplatOutputFormat format) {
    if (!task_) return;
    // Every item is converted again, also one done or failed in an earlier run.
    for (const auto& item : queue_) task_->ids.push_back(item.id);
    task_->outputDirectory = outputDirectory;
    task_->format = format;
    startNextConversion();
}

void ConverterModel::startNextConversion() {
    Run& run = *task_;
    for (;;) {
        if (run.stop.stop_requested() || run.next >= run.ids.size()) {
            endRun();
            return;
        }
        const QUuid id = run.ids[run.next++];
        const Item* item = find(id);
        if (!item) continue;
        const fs::path input = item->url;
        setState(id, Item::State::running());
        // The previous worker has handed over its result and is returning.
        if (run.worker.joinable()) run.worker.join();
        run.worker = std::jthread([runner = runner_, input, format = run.format,
                                   folder = run.outputDirectory, stop = run.stop.get_token(),
                                   weakModel = weak_from_this(), id] {
            Outcome outcome;
            try {
                outcome.output = runner->convert(input, format, folder, stop);
            } catch (const std::exception& error) {
                outcome.failure = QString::fromStdString(error.what());
            }
            onMainThread([weakModel, id, outcome] {
                if (auto model = weakModel.lock()) model->conversionEnded(id, outcome);
            });
        });
        return;
    }
}

void ConverterModel::conversionEnded(const QUuid& id, const Outcome& outcome) {
    if (!task_) return;
    setState(id, outcome.output ? Item::State::done(*outcome.output) : Item::State::failed(outcome.failure));
    startNextConversion();
}

// The caller holds the model: dropping `keepAlive` here never destroys it
// inside one of its own calls.
void ConverterModel::endRun() {
    std::unique_ptr<Run> run = std::move(task_);
    if (run->worker.joinable()) run->worker.join();
    setStatusLine(run->stop.stop_requested() ? QStringLiteral("Cancelled.") : QStringLiteral("Done."));
    setRunning(false);
}

void ConverterModel::cancel() {
    if (task_) task_->stop.request_stop();
    // Latches the runner and ends a running child, under its launch lock.
    runner_->processRunner().cancel();
    setStatusLine(QStringLiteral("Cancelling…"));
}

}  // namespace tessaron::viewer
