#include "SplatRenderer/RendererLog.hpp"

#include <iostream>
#include <mutex>

namespace splatrenderer {

namespace {

std::mutex sinkMutex;  // guards the sink; lines may come from any thread

void defaultSink(RendererLog::Level level, const std::string& category, const std::string& message) {
    if (level == RendererLog::Level::error) std::cerr << "[" << category << "] " << message << std::endl;
}

RendererLog::Sink& currentSink() {
    static RendererLog::Sink sink = defaultSink;
    return sink;
}

}  // namespace

void RendererLog::write(Level level, const std::string& category, const std::string& message) {
    Sink sink;
    {
        std::lock_guard lock(sinkMutex);
        sink = currentSink();
    }
    sink(level, category, message);
}

RendererLog::Sink RendererLog::setSink(Sink sink) {
    std::lock_guard lock(sinkMutex);
    Sink previous = std::move(currentSink());
    currentSink() = sink ? std::move(sink) : Sink(defaultSink);
    return previous;
}

}  // namespace splatrenderer
