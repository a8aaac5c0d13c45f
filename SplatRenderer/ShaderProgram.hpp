#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "SplatRenderer/GL.hpp"
#include "core/Error.hpp"

namespace splatrenderer {

// A linked GL program built from the shader files compiled into the
// library. A stage that fails to compile or a program that fails to link
// is reported with GL's log: in debug builds the program stops there, so
// that a broken shader is seen at once; otherwise it is an error the
// caller passes on (the viewer shows it). Render thread only.
class ShaderProgram {
public:
    enum class ErrorKind { compilationFailed, linkFailed };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    struct Stage {
        GLenum type;           // GL_VERTEX_SHADER, GL_FRAGMENT_SHADER
        std::string function;  // the stage's name in logs and messages
        std::string source;    // the whole text, "#version" first
    };

    ShaderProgram() = default;
    // Compiles and links; throws Error.
    ShaderProgram(const std::string& label, const std::vector<Stage>& stages);
    ShaderProgram(ShaderProgram&& other) noexcept;
    ShaderProgram& operator=(ShaderProgram&& other) noexcept;
    ShaderProgram(const ShaderProgram&) = delete;
    ShaderProgram& operator=(const ShaderProgram&) = delete;
    ~ShaderProgram();

    GLuint name() const noexcept { return name_; }
    explicit operator bool() const noexcept { return name_ != 0; }

    // The text of a shader file of the library. A missing file means a
    // broken build and stops the program.
    static std::string_view librarySource(std::string_view fileName);

private:
    GLuint name_ = 0;
};

}  // namespace splatrenderer
