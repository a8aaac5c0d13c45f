#pragma once

#include <QObject>
#include <QString>
#include <QUuid>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engines/SplatConverterRunner.hpp"
#include "engines/SplatOutputFormat.hpp"

namespace tessaron::viewer {

// The converter window's queue: the files to convert, the chosen format, and
// one run at a time that converts every queued file in turn through the
// model's SplatConverterRunner.
//
// Threads: every field is read and written on the main (GUI) thread. Each
// conversion runs on the run's worker thread; its result, and every log line
// of the converter, come back to the main thread as queued calls that hold
// the model weakly. A run keeps the model alive until it ends, also when the
// window has gone.
class ConverterModel : public QObject, public std::enable_shared_from_this<ConverterModel> {
    Q_OBJECT

public:
    struct Item {
        struct State {
            enum class Kind { done, failed, pending, running };
            Kind kind = Kind::pending;
            std::filesystem::path output;  // for `done`: the written file
            QString failure;               // for `failed`: the error's description

            static State done(std::filesystem::path output) { return {Kind::done, std::move(output), {}}; }
            static State failed(QString failure) { return {Kind::failed, {}, std::move(failure)}; }
            static State pending() { return {}; }
            static State running() { return {Kind::running, {}, {}}; }

            // The payload counts only for the case that carries it.
            bool operator==(const State& other) const;
        };

        QUuid id;
        std::filesystem::path url;  // standardised
        State state;

        bool operator==(const Item& other) const = default;
    };

    // Asks for the output folder, starting in `startFolder`; absent when the
    // user cancels.
    using FolderChooser = std::function<std::optional<std::filesystem::path>(const std::filesystem::path& startFolder)>;
    // Where the backend of a format is installed, absent when it is missing.
    using BackendLookup = std::function<std::optional<std::filesystem::path>(engines::SplatOutputFormat format)>;

    // A model with a new converter runner (and its process runner), or with
    // the one given; `initialURL` is queued at once.
    static std::shared_ptr<ConverterModel> create(const std::optional<std::filesystem::path>& initialURL = std::nullopt,
                                                  std::shared_ptr<engines::SplatConverterRunner> runner = nullptr);
    ~ConverterModel() override;

    const std::vector<Item>& queue() const noexcept { return queue_; }
    engines::SplatOutputFormat format() const noexcept { return format_; }
    void setFormat(engines::SplatOutputFormat format);
    bool isRunning() const noexcept { return isRunning_; }
    const QString& statusLine() const noexcept { return statusLine_; }
    engines::SplatConverterRunner& runner() const noexcept { return *runner_; }

    // Queues the URLs not queued when the call begins (a URL given twice in
    // one call is queued twice).
    void add(const std::vector<std::filesystem::path>& urls);
    void remove(const QUuid& id);
    // The "Convert" action: asks for the output folder, then starts a run of
    // the whole queue in the format chosen now.
    void startConversion();
    // The "Cancel" action: stops the run after the current conversion and
    // ends that conversion's child.
    void cancel();

    std::optional<std::filesystem::path> backendPath(engines::SplatOutputFormat format) const;
    bool isBackendMissing(engines::SplatOutputFormat format) const { return !backendPath(format).has_value(); }

    // The defaults show the modal folder panel and ask the runner's lookups.
    void setOutputFolderChooser(FolderChooser chooser) { chooseOutputFolder_ = std::move(chooser); }
    void setBackendLookup(BackendLookup lookup) { backendLookup_ = std::move(lookup); }

signals:
    void queueChanged();
    void formatChanged();
    void isRunningChanged();
    void statusLineChanged();

private:
    struct Outcome {
        std::optional<std::filesystem::path> output;
        QString failure;
    };

    // The run in progress.
    struct Run {
        std::stop_source stop;
        std::vector<QUuid> ids;
        std::size_t next = 0;
        std::filesystem::path outputDirectory;
        engines::SplatOutputFormat format = engines::SplatOutputFormat::spz;
        std::shared_ptr<ConverterModel> keepAlive;  // the model, until the run ends
        std::jthread worker;                        // the current conversion
    };

    explicit ConverterModel(std::shared_ptr<engines::SplatConverterRunner> runner);

    void runQueue(const std::filesystem::path& outputDirectory, engines::SplatOutputFormat format);
    void startNextConversion();
    void conversionEnded(const QUuid& id, const Outcome& outcome);
    void endRun();
    Item* find(const QUuid& id);
    void setState(const QUuid& id, Item::State state);
    void setStatusLine(const QString& line);
    void setRunning(bool running);
    void append(const std::filesystem::path& url);

    std::vector<Item> queue_;
    engines::SplatOutputFormat format_ = engines::SplatOutputFormat::spz;
    bool isRunning_ = false;
    QString statusLine_;
    const std::shared_ptr<engines::SplatConverterRunner> runner_;
    std::unique_ptr<Run> task_;
    FolderChooser chooseOutputFolder_;
    BackendLookup backendLookup_;
};

}  // namespace tessaron::viewer
