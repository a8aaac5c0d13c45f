#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "viewmodel/MainThreadExecutor.hpp"
#include "viewmodel/PointCloudCache.hpp"

namespace tessaron::viewmodel {

// Reads the sparse model a view draws, through the process-wide
// PointCloudCache, off the GUI thread. Each load() supersedes the ones
// before it: only the newest request's cloud is delivered. A model that
// cannot be read is reported (a warning with the reason) and delivered as
// the empty cloud, whose readError says why; it draws nothing.
//
// Threads: the loader belongs to the GUI thread. Reads run on Qt's global
// thread pool and touch nothing of the loader; their result comes back
// through the Qt executor, and nothing arrives once the loader is gone.
class SparseCloudLoader {
public:
    using Delivery = std::function<void(ParsedCloudPointer)>;

    // A cloud already cached is delivered at once, before load() returns;
    // any other is read on a worker and delivered later on the GUI thread.
    void load(const std::filesystem::path& sparseDir, Delivery onLoaded);
    // Supersedes every load without starting a new one.
    void cancel() { ++generation_; }

private:
    void deliver(uint64_t generation, const ParsedCloudPointer& cloud, const Delivery& onLoaded) const;

    uint64_t generation_ = 0;
    // Declared last, so that it goes first: a read that ends after the
    // loader is destroyed delivers nothing.
    MainThreadExecutor mainThread_;
};

}  // namespace tessaron::viewmodel
