#pragma once

// The view model's tests: every settings and data folder points into a
// temporary folder of the test program, and each view model gets a support
// folder of its own, so nothing reaches the user's home.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "pipeline/RunReport.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::testing {

inline constexpr uint64_t gibibytes(double count) { return static_cast<uint64_t>(count * 1073741824.0); }

// XDG_CONFIG_HOME and XDG_DATA_HOME in a folder of the program's own, set
// before the first QSettings; QSettings is also pointed there explicitly,
// since it remembers its folder once it has used it.
class PrivateUserFolders : public ::testing::Environment {
public:
    void SetUp() override {
        folder_ = std::make_unique<TempDir>("tessaron-viewmodel-home");
        ::setenv("XDG_CONFIG_HOME", (folder_->path() / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (folder_->path() / "data").c_str(), 1);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((folder_->path() / "config").string()));
    }
    void TearDown() override { folder_.reset(); }
    static std::filesystem::path configFolder() { return std::getenv("XDG_CONFIG_HOME"); }

private:
    std::unique_ptr<TempDir> folder_;
};

// A view model on a machine of `memory` bytes with its own support folder.
class ViewModelTest : public ::testing::Test {
protected:
    std::unique_ptr<viewmodel::PipelineViewModel> makeViewModel(uint64_t memory = gibibytes(16)) {
        viewmodel::PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = memory;
        configuration.manager.supportFolder = support_.path();
        return std::make_unique<viewmodel::PipelineViewModel>(configuration);
    }

    std::filesystem::path reportFile() const { return support_.path() / "Logs" / pipeline::RunReport::fileName; }
    pipeline::RunReport savedReport() const { return pipeline::RunReport::decode(readTextFile(reportFile())); }

    TempDir support_{"tessaron-viewmodel"};
};

}  // namespace tessaron::testing
