#include "SplatRenderer/GLBufferObject.hpp"

#include <utility>

#include "SplatRenderer/GPUBufferBase.hpp"

namespace splatrenderer {

GLBufferObject::GLBufferObject(std::int64_t length, const std::string& label) {
    while (glGetError() != GL_NO_ERROR) {
    }
    glCreateBuffers(1, &name_);
    if (name_ == 0) throw GPUBufferBase::Error();
    glObjectLabel(GL_BUFFER, name_, GLsizei(label.size()), label.data());
    glNamedBufferData(name_, GLsizeiptr(length), nullptr, GL_DYNAMIC_DRAW);
    if (glGetError() != GL_NO_ERROR) {
        glDeleteBuffers(1, &name_);
        name_ = 0;
        throw GPUBufferBase::Error();
    }
    length_ = length;
}

GLBufferObject::GLBufferObject(GLBufferObject&& other) noexcept
    : name_(std::exchange(other.name_, 0)), length_(std::exchange(other.length_, 0)) {}

GLBufferObject& GLBufferObject::operator=(GLBufferObject&& other) noexcept {
    if (this != &other) {
        if (name_ != 0) glDeleteBuffers(1, &name_);
        name_ = std::exchange(other.name_, 0);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

GLBufferObject::~GLBufferObject() {
    if (name_ != 0) glDeleteBuffers(1, &name_);
}

void GLBufferObject::write(std::int64_t offset, std::int64_t size, const void* data) {
    if (size > 0) glNamedBufferSubData(name_, GLintptr(offset), GLsizeiptr(size), data);
}

}  // namespace splatrenderer
