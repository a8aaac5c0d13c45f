// States of the converter window. They run the real model and the real
// SplatConverter on files made here; only "large.ply" is converted by a
// child that sleeps, so that a row stays running while the shot is taken.
#include <QTemporaryDir>

#include <fstream>
#include <stdexcept>

#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "ShotState.hpp"
#include "viewer/ConverterModel.hpp"
#include "viewer/SplatConverterView.hpp"

namespace tessaron::shots {
namespace {

namespace fs = std::filesystem;
using viewer::ConverterModel;
using Kind = ConverterModel::Item::State::Kind;

constexpr int panelWidth = 460;

class StagedConverter : public engines::SplatConverterRunner {
public:
    using SplatConverterRunner::SplatConverterRunner;

    void runResourceConverter(const fs::path& input, const fs::path& output, engines::SplatOutputFormat format) override {
        if (input.filename() != "large.ply") return SplatConverterRunner::runResourceConverter(input, output, format);
        log("$ SplatConverter " + input.string() + " -o " + output.string() + " -f spz -v");
        log("Reading 2,400,000 splats from large.ply");
        int32_t status = processRunner().run({.executablePath = "/bin/sleep", .arguments = {"60"}}, childLineHandler());
        if (status != 0) throw ConverterError::exit(status);
    }
};

void writeSmallScene(const fs::path& path) {
    std::vector<splatformats::SplatPoint> points;
    for (int index = 0; index < 8; ++index)
        points.emplace_back(splatformats::Vector3{float(index), 0, 1}, splatformats::SplatPoint::Color::sRGBUInt8({128, 128, 128}),
                            splatformats::SplatPoint::Opacity::linearFloat(0.8f),
                            splatformats::SplatPoint::Scale::linearFloat({0.1f, 0.1f, 0.1f}),
                            splatformats::Quaternion{0, 0, 0, 1});
    splatformats::SplatPLYSceneWriter writer(path);
    writer.start(0, true, std::int64_t(points.size()));
    writer.write(points);
    writer.close();
}

// A converter window on files in a folder of its own; releasing it cancels
// a run still going, waits for its end and removes the folder.
struct Stage {
    std::shared_ptr<QTemporaryDir> folder = std::make_shared<QTemporaryDir>();
    std::shared_ptr<ConverterModel> model;
    std::shared_ptr<viewer::SplatConverterView> view;

    fs::path file(const std::string& name) const { return fs::path(folder->path().toStdString()) / name; }

    explicit Stage(const std::vector<std::string>& names) {
        if (!folder->isValid()) throw std::runtime_error("no temporary folder");
        model = ConverterModel::create(std::nullopt,
                                       std::make_shared<StagedConverter>(std::make_shared<engines::ProcessRunner>()));
        std::vector<fs::path> files;
        for (const auto& name : names) {
            if (name == "broken.ply")
                std::ofstream(file(name)) << "this is not a splat file\n";
            else if (name == "large.ply")
                std::ofstream(file(name)) << "ply\n";
            else
                writeSmallScene(file(name));
            files.push_back(file(name));
        }
        model->add(files);
        fs::create_directories(file("converted"));
        model->setOutputFolderChooser([output = file("converted")](const fs::path&) { return output; });
        view = std::make_shared<viewer::SplatConverterView>(model);
        view->setFixedWidth(panelWidth);
        view->show();
    }

    std::shared_ptr<QWidget> release() {
        auto model = this->model;
        auto folder = this->folder;
        return std::shared_ptr<QWidget>(view.get(), [view = view, model, folder](QWidget*) mutable {
            if (model->isRunning()) model->cancel();
            waitUntil([&] { return !model->isRunning(); });
            view.reset();
        });
    }

    void runUntil(const std::function<bool()>& reached) {
        model->startConversion();
        if (!waitUntil(reached)) throw std::runtime_error("the converter did not reach the state");
    }

    Kind kindOf(std::size_t index) const { return model->queue().at(index).state.kind; }
};

const std::vector<std::string> queueNames{"a.ply", "broken.ply", "large.ply",
                                          "harbour-walk-north-pier-evening-capture-full-resolution.compressed.ply"};

const ShotState::Registration empty({"converter-empty", "the converter with an empty queue", [] {
                                         Stage stage({});
                                         return stage.release();
                                     }});

const ShotState::Registration pending({"converter-pending", "four files queued, none converted yet", [] {
                                           Stage stage(queueNames);
                                           return stage.release();
                                       }});

const ShotState::Registration queue({"converter-queue",
                                     "a run in progress: one file done, one failed, one running, one pending", [] {
                                         Stage stage(queueNames);
                                         stage.runUntil([&] { return stage.kindOf(2) == Kind::running; });
                                         waitUntil([] { return false; }, 0.5);
                                         return stage.release();
                                     }});

const ShotState::Registration cancelled({"converter-cancelled",
                                         "the run cancelled during large.ply: it failed with status -15, the last stays pending", [] {
                                             Stage stage(queueNames);
                                             stage.runUntil([&] { return stage.kindOf(2) == Kind::running; });
                                             stage.model->cancel();
                                             if (!waitUntil([&] { return !stage.model->isRunning(); }))
                                                 throw std::runtime_error("the run did not end");
                                             return stage.release();
                                         }});

const ShotState::Registration finished({"converter-finished", "a finished run: one file done, one failed", [] {
                                            Stage stage({"a.ply", "broken.ply"});
                                            stage.runUntil([&] { return !stage.model->isRunning(); });
                                            return stage.release();
                                        }});

const ShotState::Registration missing({"converter-backend-missing",
                                       "one file queued and no SplatConverter installed: the warning, Convert disabled", [] {
                                           Stage stage({"a.ply"});
                                           stage.model->setBackendLookup([](engines::SplatOutputFormat) { return std::nullopt; });
                                           // The lookup is asked on each redraw of the controls.
                                           stage.model->setFormat(engines::SplatOutputFormat::splat);
                                           stage.model->setFormat(engines::SplatOutputFormat::spz);
                                           return stage.release();
                                       }});

}  // namespace
}  // namespace tessaron::shots
