#pragma once

#include <filesystem>

#include "colmap/COLMAPUtils.hpp"

namespace tessaron::testing {

// Decodable JPEG photos for every image of a COLMAP model, at its camera's
// size, in <folder>/<image name>: smooth colours and a checker pattern that
// differ from photo to photo, for a training engine that needs photos it can
// read but not a scene it can reconstruct. Throws std::runtime_error when a
// photo cannot be written.
void writeSyntheticPhotos(const colmap::COLMAPModel& model, const std::filesystem::path& folder);

}  // namespace tessaron::testing
