#pragma once

#include <cstdint>
#include <string>

#include "SplatRenderer/GL.hpp"

namespace splatrenderer {

// One GL buffer object, owned: deleted with its owner. Made, filled and
// deleted only on the thread whose context owns it. A default-constructed
// object holds no name and makes no GL call.
class GLBufferObject {
public:
    GLBufferObject() = default;
    // Storage of `length` bytes, contents undefined; throws
    // GPUBufferBase::Error (bufferCreationFailed) when GL refuses it.
    GLBufferObject(std::int64_t length, const std::string& label);
    GLBufferObject(GLBufferObject&& other) noexcept;
    GLBufferObject& operator=(GLBufferObject&& other) noexcept;
    GLBufferObject(const GLBufferObject&) = delete;
    GLBufferObject& operator=(const GLBufferObject&) = delete;
    ~GLBufferObject();

    GLuint name() const noexcept { return name_; }
    std::int64_t length() const noexcept { return length_; }
    explicit operator bool() const noexcept { return name_ != 0; }

    // Copies `size` bytes to `offset`; GL orders the copy after every
    // command issued before it, so frames already drawn are not affected.
    void write(std::int64_t offset, std::int64_t size, const void* data);

private:
    GLuint name_ = 0;
    std::int64_t length_ = 0;
};

}  // namespace splatrenderer
