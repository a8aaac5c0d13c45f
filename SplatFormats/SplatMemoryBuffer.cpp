#include "SplatFormats/SplatMemoryBuffer.hpp"

namespace splatformats {

void SplatMemoryBuffer::read(SplatSceneReader& reader) { points = reader.readAll(); }

}  // namespace splatformats
