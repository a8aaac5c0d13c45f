#pragma once

#include <QWidget>

#include <filesystem>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace tessaron::viewer {

class ConverterModel;
class DropZone;
class ElidedLabel;

// The converter panel: header with the file count, the drop zone, the queue
// with each file's state, the format picker with the missing-backend warning
// and Convert/Cancel, and the latest progress line. Main thread only; it
// redraws from the model's change signals.
class SplatConverterView : public QWidget {
    Q_OBJECT

public:
    explicit SplatConverterView(const std::optional<std::filesystem::path>& initialURL = std::nullopt,
                                QWidget* parent = nullptr);
    // A view on a model made elsewhere (tests, screenshots).
    explicit SplatConverterView(std::shared_ptr<ConverterModel> model, QWidget* parent = nullptr);
    ~SplatConverterView() override;

    const std::shared_ptr<ConverterModel>& model() const noexcept { return model_; }
    DropZone& dropZone() const noexcept { return *dropZone_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void build();
    void refreshHeader();
    void rebuildRows();
    void refreshControls();
    void refreshStatus();
    // Lays the panel and its holders out at once after a change of size.
    void settleLayout();
    QWidget* makeRow(std::size_t index);

    std::shared_ptr<ConverterModel> model_;
    QLabel* countLabel_ = nullptr;
    DropZone* dropZone_ = nullptr;
    QScrollArea* list_ = nullptr;
    QWidget* rows_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    QComboBox* formatPicker_ = nullptr;
    QWidget* backendWarning_ = nullptr;
    QPushButton* convertButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QWidget* statusRow_ = nullptr;
    QWidget* statusSpinner_ = nullptr;
    ElidedLabel* statusLabel_ = nullptr;
};

}  // namespace tessaron::viewer
