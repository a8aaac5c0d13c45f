// Where COLMAP extracts features, as the program's help tells: asked once per
// model in the background, through stand-ins that print what COLMAP builds
// with and without CUDA print.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "ViewModelTestSupport.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::PipelineViewModel;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// A program that answers `-h` with `help`, exiting with `status`.
std::string helpProgram(const TempDir& folder, const std::string& name, const std::string& help, int status = 0) {
    const std::filesystem::path script = folder / name;
    writeTextFile(script, "#!/bin/sh\ncat <<'HELP'\n" + help + "\nHELP\nexit " + std::to_string(status) + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    return script.string();
}

TEST(COLMAPHardware, TheHelpTellsWhetherCOLMAPHasCUDA) {
    TempDir folder("tessaron-colmap-hardware");
    const std::string debian = "COLMAP 3.8 -- Structure-from-Motion and Multi-View Stereo\n"
                               "              (Commit Unknown on Unknown without CUDA)";
    const std::string cuda = "COLMAP 3.9.1 -- Structure-from-Motion and Multi-View Stereo\n"
                             "              (Commit 0d9ee4a on 2024-01-10 with CUDA)";
    EXPECT_EQ(PipelineViewModel::probeCOLMAPCUDA(helpProgram(folder, "debian", debian)), std::optional<bool>(false));
    EXPECT_EQ(PipelineViewModel::probeCOLMAPCUDA(helpProgram(folder, "cuda", cuda)), std::optional<bool>(true));
    // What cannot tell: no version line, a failing program, no program.
    EXPECT_EQ(PipelineViewModel::probeCOLMAPCUDA(helpProgram(folder, "other", "usage: tool [options]")), std::nullopt);
    EXPECT_EQ(PipelineViewModel::probeCOLMAPCUDA(helpProgram(folder, "failing", debian, 1)), std::nullopt);
    EXPECT_EQ(PipelineViewModel::probeCOLMAPCUDA((folder / "absent").string()), std::nullopt);
}

TEST(COLMAPHardware, TheModelAsksOnceAndExtractsOnTheGPUOnlyWithCUDAAndGPUSIFT) {
    TempDir folder("tessaron-colmap-hardware-model");
    PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(16);
    configuration.manager.supportFolder = folder / "support";
    // A stand-in that also records each time it is asked.
    const std::filesystem::path script = folder / "colmap";
    writeTextFile(script, "#!/bin/sh\necho asked >> '" + (folder / "asked").string() +
                              "'\necho 'COLMAP 3.9 -- Structure-from-Motion (Commit x with CUDA)'\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    configuration.manager.colmapPath = script.string();
    PipelineViewModel model(configuration);
    EXPECT_EQ(model.colmapHasCUDA(), std::nullopt);
    EXPECT_EQ(model.colmapExtractsOnGPU(), std::nullopt);
    QSignalSpy answered(&model, &PipelineViewModel::colmapHasCUDAChanged);
    model.checkCOLMAPHardware();
    model.checkCOLMAPHardware();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.colmapHasCUDA().has_value(); }, 10000));
    EXPECT_EQ(answered.count(), 1);
    EXPECT_EQ(readTextFile(folder / "asked"), "asked\n");
    EXPECT_EQ(model.colmapExtractsOnGPU(), std::optional<bool>(true));
    model.setUseGPUSIFT(false);
    EXPECT_EQ(model.colmapExtractsOnGPU(), std::optional<bool>(false));
    model.setColmapHasCUDA(false);
    model.setUseGPUSIFT(true);
    EXPECT_EQ(model.colmapExtractsOnGPU(), std::optional<bool>(false));
}

}  // namespace
}  // namespace tessaron::testing
