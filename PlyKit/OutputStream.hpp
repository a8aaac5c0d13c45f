#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/AtomicFile.hpp"

namespace plykit {

// The platform's byte output stream: the buffered stream writes through it.
// write() answers the count of bytes accepted, 0 when nothing could be
// written, or -1 with error() telling why. Not synchronised.
class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual void open() = 0;
    virtual std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t length) = 0;
    // Ends the output: a file gets its new contents now, whole.
    virtual void close() = 0;
    // Ends the output without finishing it: a file keeps its old contents.
    virtual void abandon() { close(); }
    virtual std::string error() const = 0;
    // The bytes of a memory stream (after close); none for other streams.
    virtual std::optional<std::vector<std::uint8_t>> dataWrittenToMemory() = 0;
};

// A file whose contents are replaced when the stream closes: the bytes go to
// a temporary beside it, so a stream that fails or is abandoned leaves the
// file as it was, and a file can be rewritten from its own contents.
class FileOutputStream final : public OutputStream {
public:
    static std::unique_ptr<FileOutputStream> create(const std::filesystem::path& path, std::string& openError);
    ~FileOutputStream() override;

    void open() override {}
    // Writes everything or fails: short writes of the system are retried.
    std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t length) override;
    // Puts the file in place unless a write failed; throws
    // AtomicFile::WriteError, naming the file, when that fails.
    void close() override;
    void abandon() override;
    std::string error() const override { return error_; }
    std::optional<std::vector<std::uint8_t>> dataWrittenToMemory() override { return std::nullopt; }

private:
    explicit FileOutputStream(std::unique_ptr<tessaron::core::AtomicFile::Writer> file) : file_(std::move(file)) {}

    std::unique_ptr<tessaron::core::AtomicFile::Writer> file_;
    bool failed_ = false;
    std::string error_;
};

class MemoryOutputStream final : public OutputStream {
public:
    void open() override {}
    std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t length) override;
    void close() override { closed_ = true; }
    std::string error() const override { return {}; }
    std::optional<std::vector<std::uint8_t>> dataWrittenToMemory() override;

private:
    std::vector<std::uint8_t> bytes_;
    bool closed_ = false;
};

}  // namespace plykit
