#include "SplatRenderer/ShaderProgram.hpp"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <utility>

#include "SplatRenderer/RendererLog.hpp"

namespace splatrenderer {

std::optional<std::string_view> embeddedShaderSource(std::string_view name);  // generated

namespace {

[[noreturn]] void fatal(const std::string& message) {
    std::cerr << message << std::endl;
    std::abort();
}

ShaderProgram::Error failure(ShaderProgram::ErrorKind kind, const std::string& message) {
    RendererLog::write(RendererLog::Level::error, "SplatRenderer", message);
#ifndef NDEBUG
    fatal(message);
#endif
    return ShaderProgram::Error(kind, message);
}

std::string infoLog(GLuint object, bool isProgram) {
    GLint length = 0;
    if (isProgram)
        glGetProgramiv(object, GL_INFO_LOG_LENGTH, &length);
    else
        glGetShaderiv(object, GL_INFO_LOG_LENGTH, &length);
    std::string log(std::size_t(std::max(length, 1)), '\0');
    GLsizei written = 0;
    if (isProgram)
        glGetProgramInfoLog(object, GLsizei(log.size()), &written, log.data());
    else
        glGetShaderInfoLog(object, GLsizei(log.size()), &written, log.data());
    log.resize(std::size_t(written));
    return log;
}

}  // namespace

std::string_view ShaderProgram::librarySource(std::string_view fileName) {
    auto source = embeddedShaderSource(fileName);
    if (!source) fatal("Unable to load required shader function: \"" + std::string(fileName) + "\"");
    return *source;
}

ShaderProgram::ShaderProgram(const std::string& label, const std::vector<Stage>& stages) {
    std::vector<GLuint> shaders;
    auto deleteShaders = [&shaders] {
        for (GLuint shader : shaders) glDeleteShader(shader);
    };
    for (const auto& stage : stages) {
        const GLuint shader = glCreateShader(stage.type);
        shaders.push_back(shader);
        const char* text = stage.source.c_str();
        glShaderSource(shader, 1, &text, nullptr);
        glCompileShader(shader);
        GLint compiled = GL_FALSE;
        glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
        if (compiled != GL_TRUE) {
            const std::string log = infoLog(shader, false);
            deleteShaders();
            throw failure(ErrorKind::compilationFailed,
                          "Unable to compile shader function \"" + stage.function + "\": " + log);
        }
    }
    name_ = glCreateProgram();
    for (GLuint shader : shaders) glAttachShader(name_, shader);
    glLinkProgram(name_);
    deleteShaders();  // the program keeps what it needs
    GLint linked = GL_FALSE;
    glGetProgramiv(name_, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
        const std::string log = infoLog(name_, true);
        glDeleteProgram(name_);
        name_ = 0;
        throw failure(ErrorKind::linkFailed, "Unable to link shader program \"" + label + "\": " + log);
    }
    glObjectLabel(GL_PROGRAM, name_, GLsizei(label.size()), label.data());
}

ShaderProgram::ShaderProgram(ShaderProgram&& other) noexcept : name_(std::exchange(other.name_, 0)) {}

ShaderProgram& ShaderProgram::operator=(ShaderProgram&& other) noexcept {
    if (this != &other) {
        if (name_ != 0) glDeleteProgram(name_);
        name_ = std::exchange(other.name_, 0);
    }
    return *this;
}

ShaderProgram::~ShaderProgram() {
    if (name_ != 0) glDeleteProgram(name_);
}

}  // namespace splatrenderer
