#include "SplatFormats/AutodetectSceneReader.hpp"

#include "SplatFormats/DotSplatSceneReader.hpp"
#include "SplatFormats/SPZSceneReader.hpp"
#include "SplatFormats/SplatFileFormat.hpp"
#include "SplatFormats/SplatPLYSceneReader.hpp"

namespace splatformats {

SplatBatchSequence AutodetectSceneReader::read() {
    auto format = splatFileFormat(url_);
    if (!format)
        throw Error(ErrorKind::cannotDetermineFormat,
                    "Cannot determine the splat format of " + url_.string() + " (expected .ply, .splat or .spz)");
    switch (*format) {
        case SplatFileFormat::ply: return SplatPLYSceneReader(url_).read();
        case SplatFileFormat::dotSplat: return DotSplatSceneReader(url_).read();
        case SplatFileFormat::spz: break;
    }
    return SPZSceneReader(url_).read();
}

}  // namespace splatformats
