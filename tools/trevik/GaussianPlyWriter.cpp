#include "trevik/GaussianPlyWriter.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/AtomicFile.hpp"

namespace tessaron::trevik {

namespace fs = std::filesystem;

namespace {

constexpr size_t restCoefficientCount = 45;
// Body bytes handed to write(2) at a time.
constexpr size_t chunkVertices = 16384;

// One open file descriptor that is closed on every path.
class OutputFile {
public:
    OutputFile(const fs::path& path, int flags) : path_(path) {
        descriptor_ = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0644);
        if (descriptor_ < 0) fail("could not create");
    }
    ~OutputFile() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const char* bytes, size_t size) {
        while (size > 0) {
            ssize_t written = ::write(descriptor_, bytes, size);
            if (written < 0) {
                if (errno == EINTR) continue;
                fail("could not write");
            }
            bytes += written;
            size -= size_t(written);
        }
    }

    void syncAndClose() {
        if (::fsync(descriptor_) != 0) fail("could not flush");
        int descriptor = descriptor_;
        descriptor_ = -1;
        if (::close(descriptor) != 0) fail("could not close");
    }

    [[noreturn]] void fail(const char* what) const {
        throw GaussianPlyWriter::WriteError(std::string(what) + " " + path_.string() + ": " + std::strerror(errno));
    }

private:
    fs::path path_;
    int descriptor_ = -1;
};

void appendLittleEndian(float value, char* out) {
    auto bits = std::bit_cast<uint32_t>(value);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
    std::memcpy(out, &bits, 4);
}

// Header and body.
void writeBody(OutputFile& file, size_t count, const GaussianPlyWriter::RecordSource& source) {
    std::string header = GaussianPlyWriter::header(count);
    file.write(header.data(), header.size());

    std::vector<char> buffer(chunkVertices * GaussianPlyWriter::bytesPerVertex);
    float vertex[GaussianPlyWriter::floatsPerVertex];
    for (size_t first = 0; first < count; first += chunkVertices) {
        size_t last = std::min(count, first + chunkVertices);
        char* out = buffer.data();
        for (size_t index = first; index < last; ++index) {
            source(index, vertex);
            // The one look at every value of a model, as it is written: one
            // that is not finite is no result.
            for (size_t value = 0; value < GaussianPlyWriter::floatsPerVertex; ++value)
                if (!std::isfinite(vertex[value]))
                    throw GaussianPlyWriter::WriteError(
                        "the model is not saved: Gaussian " + std::to_string(index + 1) + " of " +
                        std::to_string(count) + " holds " + std::to_string(vertex[value]) + " at value " +
                        std::to_string(value + 1) + " of its record, not a finite number");
            for (float value : vertex) {
                appendLittleEndian(value, out);
                out += 4;
            }
        }
        file.write(buffer.data(), size_t(out - buffer.data()));
    }
}

}  // namespace

std::string GaussianPlyWriter::header(size_t vertexCount) {
    std::string text = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(vertexCount) + "\n";
    for (const char* name : {"x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2"})
        text += std::string("property float ") + name + "\n";
    for (size_t index = 0; index < restCoefficientCount; ++index)
        text += "property float f_rest_" + std::to_string(index) + "\n";
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        text += std::string("property float ") + name + "\n";
    return text + "end_header\n";
}

void GaussianPlyWriter::vertexFloats(const GaussianSeed& seed, float* out) {
    std::fill(out, out + floatsPerVertex, 0.0f);
    out[0] = seed.x;
    out[1] = seed.y;
    out[2] = seed.z;
    // 3..5 normals stay zero.
    out[6] = seed.dc0;
    out[7] = seed.dc1;
    out[8] = seed.dc2;
    // 9..53 higher SH stay zero; 54 opacity logit 0 is an opacity of 0.5.
    out[55] = out[56] = out[57] = seed.logScale;
    out[58] = 1.0f;  // rotation quaternion w first: identity
}

fs::path GaussianPlyWriter::temporaryPath(const fs::path& target) {
    return target.parent_path() / ("." + target.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
}

fs::path GaussianPlyWriter::prepareTarget(const fs::path& target) {
    fs::path resolved;
    try {
        resolved = core::AtomicFile::replaceableTarget(target);
    } catch (const core::AtomicFile::WriteError& error) {
        throw WriteError("could not create the output " + target.string() + ": " + error.code().message());
    }
    // Creating the temporary is the one test that holds for every case (a
    // missing folder, a read-only one, a path through a file), root included.
    fs::path temporary = temporaryPath(resolved);
    int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0)
        throw WriteError("could not create the output " + target.string() + ": " + std::strerror(errno));
    ::close(descriptor);
    ::unlink(temporary.c_str());
    return resolved;
}

namespace {

// The file a finished write goes to; WriteError for one that must not be replaced.
fs::path replaceable(const fs::path& target) {
    try {
        return core::AtomicFile::replaceableTarget(target);
    } catch (const core::AtomicFile::WriteError& error) {
        throw GaussianPlyWriter::WriteError(error.what());
    }
}

GaussianPlyWriter::RecordSource seedSource(const std::vector<GaussianSeed>& seeds) {
    return [&seeds](size_t index, float* out) { GaussianPlyWriter::vertexFloats(seeds[index], out); };
}

}  // namespace

void GaussianPlyWriter::write(const fs::path& target, const std::vector<GaussianSeed>& seeds) {
    write(target, seeds.size(), seedSource(seeds));
}

void GaussianPlyWriter::write(const fs::path& requested, size_t count, const RecordSource& source) {
    const fs::path target = replaceable(requested);
    fs::path temporary = temporaryPath(target);
    try {
        OutputFile file(temporary, O_CREAT | O_TRUNC);
        writeBody(file, count, source);
        file.syncAndClose();
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        std::string reason = std::strerror(errno);
        ::unlink(temporary.c_str());
        throw WriteError("could not move the finished file to " + target.string() + ": " + reason);
    }
}

}  // namespace tessaron::trevik
