// States of the open panels, each with the request the view model really
// makes, over a folder made here: photos, a video and a stray JPEG.
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <stdexcept>

#include "ShotState.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/OpenPanel.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::shots {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

namespace fs = std::filesystem;
using viewmodel::DialogService;
using viewmodel::PipelineViewModel;

// Keeps the request of the first panel the model opens and cancels it.
class RequestRecorder : public DialogService {
public:
    std::optional<fs::path> open(const OpenRequest& request) override {
        if (!recorded) recorded = request;
        return std::nullopt;
    }
    std::optional<fs::path> save(const SaveRequest&) override { return std::nullopt; }
    bool confirm(const QString&, const QString&, const QString&) override { return false; }
    void message(const QString&, const QString&) override {}
    std::optional<OpenRequest> recorded;
};

void touch(const fs::path& file) { std::ofstream(file) << "x"; }

// What the model asks for when it opens its panel in `ask`.
DialogService::OpenRequest requestOf(const fs::path& support, const std::function<void(PipelineViewModel&)>& ask) {
    PipelineViewModel::Configuration configuration;
    configuration.manager.supportFolder = support;
    PipelineViewModel model(configuration);
    auto recorder = std::make_shared<RequestRecorder>();
    model.setDialogService(recorder);
    ModelAccess::setFreeSpaceProbe(model, [](const fs::path&) { return std::nullopt; });
    ask(model);
    if (!recorder->recorded) throw std::runtime_error("the model opened no panel");
    return *recorder->recorded;
}

// A panel over a captures folder; releasing it removes the folder.
ShotState::Registration panelShot(std::string name, std::string description,
                                  std::function<void(PipelineViewModel&)> ask, std::string typed, bool confirm) {
    return ShotState::Registration({std::move(name), std::move(description), [ask, typed, confirm] {
                                        auto folder = std::make_shared<QTemporaryDir>();
                                        if (!folder->isValid()) throw std::runtime_error("no temporary folder");
                                        const fs::path root = folder->path().toStdString();
                                        const fs::path captures = root / "captures";
                                        fs::create_directories(captures / "garden");
                                        fs::create_directories(captures / "harbour");
                                        touch(captures / "walkthrough.mp4");
                                        touch(captures / "snapshot.jpg");
                                        DialogService::OpenRequest request = requestOf(root / "support", ask);
                                        request.startFolder = captures;
                                        auto panel = std::make_shared<views::OpenPanel>(request);
                                        panel->resize(760, 480);
                                        panel->show();
                                        // Typed as a user types: into the focused field of the active panel.
                                        panel->activateWindow();
                                        panel->nameField()->setFocus();
                                        waitUntil([&] { return panel->nameField()->hasFocus(); }, 5);
                                        waitUntil([] { return false; }, 0.3);
                                        QTest::keyClicks(panel->nameField(),
                                                         QString::fromStdString((captures / typed).string()));
                                        if (confirm) QTest::keyClick(panel->nameField(), Qt::Key_Return);
                                        waitUntil([] { return false; }, 0.3);
                                        return std::shared_ptr<QWidget>(panel.get(),
                                                                        [panel, folder](QWidget*) mutable {
                                                                            panel.reset();
                                                                            folder.reset();
                                                                        });
                                    }});
}

const auto folderTyped =
    panelShot("chooser-folder-typed", "Choose Folder or Video\u2026 with a photo folder's path typed",
              [](PipelineViewModel& model) { model.chooseInput(); }, "garden", false);

const auto refused = panelShot("chooser-refused", "Choose Folder or Video\u2026 after Return on a JPEG: why it is refused",
                               [](PipelineViewModel& model) { model.chooseInput(); }, "snapshot.jpg", true);

const auto output = panelShot(
    "chooser-output", "the output folder panel with a new folder's path typed",
    [](PipelineViewModel& model) {
        model.setSelectedInputURL("/home/user/captures/garden");
        model.setIsAnalyzingInput(false);
        model.startNewRun();
    },
    "garden_run", false);

}  // namespace
}  // namespace tessaron::shots
