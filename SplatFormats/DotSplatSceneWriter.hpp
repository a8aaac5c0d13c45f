#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "PlyKit/AsyncBufferingOutputStream.hpp"
#include "PlyKit/WriterDestination.hpp"
#include "SplatFormats/SplatSceneWriter.hpp"
#include "core/Error.hpp"

namespace splatformats {

// Writes .splat records through a 64 KiB encoding buffer, one output write
// per 2,048 points. The format has no header, so there is no start.
class DotSplatSceneWriter final : public SplatSceneWriter {
public:
    static constexpr std::size_t bufferSize = 65536;

    enum class ErrorKind { cannotWriteAfterClose };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // The destination's error passes on when its stream cannot be made.
    explicit DotSplatSceneWriter(plykit::WriterDestination destination);
    explicit DotSplatSceneWriter(const std::filesystem::path& path);

    void write(const std::vector<SplatPoint>& points) override;
    void close() override;
    std::optional<ByteBuffer> writtenData() const override;

private:
    plykit::AsyncBufferingOutputStream outputStream_;
    std::vector<std::uint8_t> buffer_;  // released by close()
    bool closed_ = false;
};

}  // namespace splatformats
