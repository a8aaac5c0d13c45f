// The harness's run command, driven from outside as a reviewer would.
#include <gtest/gtest.h>

#include "engines/ProcessRunner.hpp"

using tessaron::engines::ProcessRunner;

struct ToolRunCase {
    std::string name;
    std::string script;
    std::vector<std::string> lines;
};

void PrintTo(const ToolRunCase& value, std::ostream* out) { *out << value.name; }

class ToolRunCommand : public ::testing::TestWithParam<ToolRunCase> {};

TEST_P(ToolRunCommand, PrintsEveryLineThenTheStatus) {
    ProcessRunner runner;
    std::vector<std::string> lines;
    int32_t toolStatus = runner.run(TESSARON_TOOL_PATH, {"run", "--", "sh", "-c", GetParam().script}, std::nullopt,
                                    std::nullopt, [&lines](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(toolStatus, 0);
    EXPECT_EQ(lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ToolRunCommand,
    ::testing::Values(ToolRunCase{"LinesAndCleanExit",
                                  R"(printf "a\r\nb\r\n"; printf "p1\rp2\rp3\n"; printf "tail")",
                                  {"a", "b", "p1", "p2", "p3", "tail", "status 0"}},
                      ToolRunCase{"KilledBySignalNine", "kill -9 $$", {"status -9"}},
                      ToolRunCase{"ExitThree", "exit 3", {"status 3"}}),
    [](const auto& info) { return info.param.name; });
