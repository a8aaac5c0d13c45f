#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "SplatRenderer/GLBufferObject.hpp"

namespace splatrenderer {

// Reusable GPU buffers by tag. The pool does not look at lengths: whoever
// acquires checks that the buffer is long enough. Acquire and release may
// come from any thread; buffers stay in the pool until acquired again.
template <typename Tag, typename Buffer = GLBufferObject>
class GPUBufferPool {
public:
    // The buffer returned last under the tag, or none.
    std::optional<Buffer> acquireBuffer(const Tag& tag) {
        std::lock_guard lock(lock_);
        auto found = pools_.find(tag);
        if (found == pools_.end() || found->second.empty()) return std::nullopt;
        Buffer buffer = std::move(found->second.back());
        found->second.pop_back();
        return buffer;
    }

    void releaseBuffer(Buffer buffer, const Tag& tag) {
        std::lock_guard lock(lock_);
        pools_[tag].push_back(std::move(buffer));
    }

private:
    std::mutex lock_;  // guards pools_
    std::map<Tag, std::vector<Buffer>> pools_;
};

}  // namespace splatrenderer
