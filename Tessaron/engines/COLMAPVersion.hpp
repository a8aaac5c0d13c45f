#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaron::engines {

// What the installed COLMAP program is, as far as the runner cares: its
// version, read from the first line of `colmap -h`, and whether it was built
// without CUDA. It holds the one table of what older versions call
// differently or lack, so the runner can build every command line with the
// current names and translate it here.
struct COLMAPVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
    // False when the help text carried no version: the program is then taken
    // to understand the current names and sub-commands.
    bool known = false;
    // Such a build's SIFT still defaults to the GPU (OpenGL), which aborts
    // without a display, so extraction and matching must be told use_gpu 0.
    bool withoutCUDA = false;

    // Reads the output lines of `colmap -h`: the version from the first line
    // of the form "COLMAP <major>.<minor>[.<patch>] ...", the CUDA note from
    // any line that says "without CUDA".
    static COLMAPVersion fromHelpOutput(const std::vector<std::string>& lines);

    // "3.8", "3.12.1"; "unknown" when the version was not read.
    std::string text() const;

    bool isBefore(int otherMajor, int otherMinor) const;

    // The option name this version reads for `option`, given with the current
    // name ("--FeatureExtraction.use_gpu"); anything that is not an option
    // (sub-commands, values) comes back unchanged.
    std::string optionName(std::string_view option) const;

    // False for a sub-command that this version does not have.
    bool hasSubcommand(std::string_view name) const;
};

}  // namespace tessaron::engines
