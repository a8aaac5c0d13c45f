#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "trevik/GaussianSeeder.hpp"

namespace tessaron::trevik {

// Writes Gaussians as a binary little-endian PLY: per vertex the 62 floats
// x, y, z, nx, ny, nz, f_dc_0..2, f_rest_0..44, opacity, scale_0..2,
// rot_0..3, in that order.
//
// The file is streamed into a temporary beside the target, flushed to disk
// and renamed over the target, so the target name only ever holds a whole
// file; what is there must be a regular file, as for AtomicFile. (The core's AtomicFile takes the whole body in memory; a model of
// millions of Gaussians is streamed instead.)
class GaussianPlyWriter {
public:
    class WriteError : public core::Error {
    public:
        using core::Error::Error;
    };

    static constexpr size_t floatsPerVertex = 62;
    static constexpr size_t bytesPerVertex = floatsPerVertex * 4;

    static std::string header(size_t vertexCount);

    // The temporary that write() uses for `target`: a hidden name in the same
    // folder, unique per process, so a signal handler can remove it.
    static std::filesystem::path temporaryPath(const std::filesystem::path& target);

    // Checks, before any work, that a finished file can be put at `target`:
    // nothing but a regular file is there (a folder, a FIFO or a device such
    // as /dev/null is never replaced), and the temporary can be created
    // beside it. Returns the path write() renames to (a symbolic link's
    // file); throws WriteError naming `target` and the reason.
    static std::filesystem::path prepareTarget(const std::filesystem::path& target);

    static void write(const std::filesystem::path& target, const std::vector<GaussianSeed>& seeds);

    // Fills the 62 floats of vertex `index`, in file order.
    using RecordSource = std::function<void(size_t index, float* out)>;
    // Writes `count` vertices that `source` fills, the same way. A value
    // that is not finite (NaN, infinity) fails the write with WriteError
    // and leaves the target as it was.
    static void write(const std::filesystem::path& target, size_t count, const RecordSource& source);

    // The 62 floats of one vertex, in file order.
    static void vertexFloats(const GaussianSeed& seed, float* out);
};

}  // namespace tessaron::trevik
