#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <type_traits>

#include "SplatRenderer/GLBufferObject.hpp"
#include "SplatRenderer/GPUBufferBase.hpp"
#include "SplatRenderer/GPUDevice.hpp"

namespace splatrenderer {

// A typed, growable array for the GPU: a CPU mirror that owners write in
// place, and a GL buffer object that the render thread brings up to date
// before a frame reads it. Nothing here locks; each owner serialises its
// own access (see the sorter and the renderer). The mirror may be written
// on any thread; the GL object is touched only on the render thread.
template <typename T>
class GPUBuffer : public GPUBufferBase {
    static_assert(std::is_trivially_copyable_v<T>, "GPU buffers hold plain data");

public:
    static constexpr std::int64_t stride = std::int64_t(sizeof(T));

    // Room for max(capacity, 1) elements, none in use.
    GPUBuffer(const GPUDevice& device, std::int64_t capacity) : device_(device) {
        const std::int64_t elements = std::max<std::int64_t>(capacity, 1);
        if (elements > maxCapacity()) throw Error(elements, maxCapacity());
        values_ = allocate(elements);
        capacity_ = elements;
    }
    GPUBuffer(const GPUBuffer&) = delete;
    GPUBuffer& operator=(const GPUBuffer&) = delete;

    static std::int64_t maxCapacity(const GPUDevice& device) { return device.maxBufferLength() / stride; }
    std::int64_t maxCapacity() const { return maxCapacity(device_); }

    const GPUDevice& device() const noexcept { return device_; }
    std::int64_t capacity() const noexcept { return capacity_; }
    std::int64_t count() const noexcept { return count_; }
    // Owners set the count after writing elements through values().
    void setCount(std::int64_t count) noexcept {
        assert(count >= 0 && count <= capacity_);
        count_ = count;
    }
    T* values() noexcept { return values_.get(); }
    const T* values() const noexcept { return values_.get(); }
    std::span<const T> elements() const noexcept { return {values_.get(), std::size_t(count_)}; }

    // Reallocates to exactly max(capacity, 1) elements, keeping the first
    // ones; on failure nothing changes.
    void setCapacity(std::int64_t capacity) {
        const std::int64_t elements = std::max<std::int64_t>(capacity, 1);
        if (elements == capacity_) return;
        if (elements > maxCapacity()) throw Error(elements, maxCapacity());
        logAllocation(stride, elements);
        auto replacement = allocate(elements);
        const std::int64_t kept = std::min(elements, count_);
        if (kept > 0) std::memcpy(replacement.get(), values_.get(), std::size_t(kept * stride));
        values_ = std::move(replacement);
        capacity_ = elements;
        count_ = kept;
    }

    void ensureCapacity(std::int64_t capacity) {
        if (capacity_ < capacity) setCapacity(capacity);
    }

    // The appends never grow the buffer: the caller makes room first.
    std::int64_t append(const T& element) {
        assert(count_ < capacity_);
        values_[std::size_t(count_)] = element;
        return count_++;
    }
    std::int64_t append(std::span<const T> elements) {
        assert(count_ + std::int64_t(elements.size()) <= capacity_);
        const std::int64_t first = count_;
        if (!elements.empty()) std::memcpy(values_.get() + first, elements.data(), elements.size_bytes());
        count_ += std::int64_t(elements.size());
        return first;
    }
    std::int64_t append(const GPUBuffer& other, std::int64_t index) { return append(other.values_[std::size_t(index)]); }

    // Says that the mirror changed and the GL object must follow.
    void markDirty() noexcept { dirty_ = true; }
    bool isDirty() const noexcept { return dirty_; }

    // Render thread only: brings the GL object up to date with the elements
    // in use and returns its name. Throws Error when GL refuses storage.
    GLuint upload(const std::string& label) {
        if (!glObject_ || glObject_.length() < capacity_ * stride) {
            glObject_ = GLBufferObject(capacity_ * stride, label);
            dirty_ = true;
        }
        if (dirty_) {
            glObject_.write(0, count_ * stride, values_.get());
            dirty_ = false;
        }
        return glObject_.name();
    }
    GLuint glName() const noexcept { return glObject_.name(); }

private:
    static std::unique_ptr<T[]> allocate(std::int64_t elements) {
        try {
            return std::make_unique_for_overwrite<T[]>(std::size_t(elements));
        } catch (const std::bad_alloc&) {
            throw Error();
        }
    }

    GPUDevice device_;
    std::int64_t capacity_ = 0;
    std::int64_t count_ = 0;
    std::unique_ptr<T[]> values_;
    bool dirty_ = true;
    GLBufferObject glObject_;
};

}  // namespace splatrenderer
