# Writes OUTPUT, a C++ file that holds every GLSL file of SOURCES as a raw
# string, looked up by file name through splatrenderer::embeddedShaderSource.
set(body "")
foreach(source ${SOURCES})
  get_filename_component(name ${source} NAME)
  file(READ ${source} text)
  string(FIND "${text}" ")glsl\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${name} contains the raw-string delimiter )glsl\"")
  endif()
  string(APPEND body "        {\"${name}\", R\"glsl(${text})glsl\"},\n")
endforeach()
file(WRITE ${OUTPUT}.tmp
"// Generated from SplatRenderer/shaders; do not edit.
#include <map>
#include <optional>
#include <string_view>

namespace splatrenderer {

std::optional<std::string_view> embeddedShaderSource(std::string_view name) {
    static const std::map<std::string_view, std::string_view> sources{
${body}    };
    auto found = sources.find(name);
    if (found == sources.end()) return std::nullopt;
    return found->second;
}

}  // namespace splatrenderer
")
# Only a changed file is replaced, so an unchanged shader set rebuilds nothing.
configure_file(${OUTPUT}.tmp ${OUTPUT} COPYONLY)
