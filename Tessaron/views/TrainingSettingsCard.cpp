#include "views/TrainingSettingsCard.hpp"

#include "views/FormWidgets.hpp"

namespace tessaron::views {

using viewmodel::PipelineViewModel;

TrainingSettingsCard::TrainingSettingsCard(PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("Training Settings"), parent),
      model_(model),
      iterations_(
          new SliderRow(QStringLiteral("Iterations:"), iterationsMinimum, iterationsMaximum, 1000, 40,
                        [](double iterations) { return QString::asprintf("%lldK", qint64(iterations) / 1000); })),
      eval_(new QCheckBox(QStringLiteral("Eval Mode (train/test split)"))) {
    eval_->setFont(theme::font(theme::TextStyle::callout));
    addRow(iterations_);
    addRow(eval_);
    connect(iterations_, &SliderRow::valueEdited, this,
            [this](double iterations) { model_.setTrainingIterations(qint64(iterations)); });
    connect(eval_, &QCheckBox::toggled, &model_, &PipelineViewModel::setTrevikEvalMode);
    connect(&model_, &PipelineViewModel::trainingIterationsChanged, this, &TrainingSettingsCard::refresh);
    connect(&model_, &PipelineViewModel::trevikEvalModeChanged, this, &TrainingSettingsCard::refresh);
    refresh();
}

void TrainingSettingsCard::refresh() {
    iterations_->setValue(double(model_.trainingIterations()));
    eval_->setChecked(model_.trevikEvalMode());
}

}  // namespace tessaron::views
