#pragma once

#include <functional>
#include <string>

namespace splatrenderer {

// The renderer's log lines, each with a category ("GPUBuffer",
// "SplatRenderer"). They go to a sink the application may replace; the
// default sink writes error lines to standard error and drops info lines,
// as a system log keeps info lines out of sight.
class RendererLog {
public:
    enum class Level { info, error };
    using Sink = std::function<void(Level level, const std::string& category, const std::string& message)>;

    static void write(Level level, const std::string& category, const std::string& message);
    // An empty sink restores the default. Returns the previous sink.
    static Sink setSink(Sink sink);
};

}  // namespace splatrenderer
