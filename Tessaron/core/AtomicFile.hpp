#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <system_error>
#include <vector>

#include "core/Error.hpp"

namespace tessaron::core {

// Whole-file writes that never leave a half-written file under the final
// name: the bytes go to a temporary in the same folder, are flushed to disk,
// and the temporary is renamed over the target. On failure the old file is
// untouched and the temporary removed.
class AtomicFile {
public:
    class WriteError : public Error {
    public:
        WriteError(const std::filesystem::path& target, std::error_code code)
            : Error("Could not write " + target.string() + ": " + code.message()), code_(code) {}
        const std::error_code& code() const noexcept { return code_; }

    private:
        std::error_code code_;
    };

    // What a symbolic link at the target's name means. A path the user chose
    // may be a link to the file they mean (`follow`: that file is replaced).
    // A name inside a workspace is the application's own: a link there is
    // `replace`d by the new file, and what it named stays untouched.
    enum class LinkAtTarget { follow, replace };

    static void write(const std::filesystem::path& target, std::string_view bytes,
                      LinkAtTarget links = LinkAtTarget::follow);

    // Whether `name` is one of this writer's temporaries (".<target's
    // name>.tmp-<pid>-<random>"); the process id of its writer when it is.
    // A writer that was killed leaves its temporary behind, and only the
    // process id tells that one from a temporary still being written.
    static std::optional<long> temporaryWriterProcess(std::string_view name);

    // The file a finished temporary is renamed over for `target`: the target
    // itself, or (when links are followed) the file a symbolic link names.
    // Throws WriteError when something other than a regular file is there
    // (a folder, a FIFO, a device such as /dev/null), which a rename would
    // replace.
    static std::filesystem::path replaceableTarget(const std::filesystem::path& target,
                                                   LinkAtTarget links = LinkAtTarget::follow);

    // The same for a file written piece by piece: nothing shows under the
    // target's name until commit(); a writer dropped before that (a failed
    // conversion, an exception) removes its temporary and leaves the target
    // as it was. So a file rewritten in place either changes whole or not at all.
    class Writer {
    public:
        explicit Writer(const std::filesystem::path& target,
                        LinkAtTarget links = LinkAtTarget::follow);  // throws WriteError
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;
        ~Writer();

        void write(std::string_view bytes);  // throws WriteError
        // Flushes to disk and renames over the target; throws WriteError.
        void commit();
        // Drops the temporary; the target keeps its old contents.
        void abandon() noexcept;
        bool isFinished() const noexcept { return descriptor_ < 0; }

    private:
        [[noreturn]] void fail(int code);

        std::filesystem::path target_;
        std::filesystem::path temporary_;
        int descriptor_ = -1;
        off_t written_ = 0;         // bytes written so far
        off_t writebackStart_ = 0;  // the first not yet handed to the disk
    };
};

// Read a whole file into one buffer of exactly its size (no growth copies,
// which matter for files of hundreds of megabytes); throw Error naming the
// path when it cannot be read, when it is not a regular file (a FIFO or a
// device would block or never end), or when it holds more than maximumBytes.
inline constexpr std::uint64_t unlimitedFileSize = std::numeric_limits<std::uint64_t>::max();
std::string readWholeFile(const std::filesystem::path& path, std::uint64_t maximumBytes = unlimitedFileSize);
std::vector<std::uint8_t> readWholeFileBytes(const std::filesystem::path& path,
                                             std::uint64_t maximumBytes = unlimitedFileSize);

}  // namespace tessaron::core
