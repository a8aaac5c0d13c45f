#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plykit {

// The platform's byte input stream: the buffered stream reads through it.
// read() answers a count of bytes, 0 at the end of the input, or -1 with
// error() telling why. Not synchronised: its owner serialises the calls.
class InputStream {
public:
    virtual ~InputStream() = default;
    virtual void open() = 0;
    virtual std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) = 0;
    virtual void close() = 0;
    virtual std::string error() const = 0;
    // Bytes still to come when the stream knows (a regular file, memory);
    // none for pipes and devices.
    virtual std::optional<std::uint64_t> remainingBytes() const = 0;
};

// A regular file. The descriptor is opened by create() so that an unreadable
// path, or one that names a FIFO or a device, is refused before the first read.
class FileInputStream final : public InputStream {
public:
    // None when the path cannot be opened for reading; `openError` says why.
    static std::unique_ptr<FileInputStream> create(const std::filesystem::path& path, std::string& openError);
    ~FileInputStream() override;

    void open() override {}
    std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
    void close() override;
    std::string error() const override { return error_; }
    std::optional<std::uint64_t> remainingBytes() const override;

private:
    FileInputStream(int descriptor, std::optional<std::uint64_t> size);

    int descriptor_;
    std::optional<std::uint64_t> size_;
    std::uint64_t position_ = 0;
    std::string error_;
};

// Bytes in memory, shared with the source that made the stream.
class MemoryInputStream final : public InputStream {
public:
    explicit MemoryInputStream(std::shared_ptr<const std::vector<std::uint8_t>> bytes) : bytes_(std::move(bytes)) {}

    void open() override {}
    std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
    void close() override {}
    std::string error() const override { return {}; }
    std::optional<std::uint64_t> remainingBytes() const override { return bytes_->size() - position_; }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
    std::size_t position_ = 0;
};

}  // namespace plykit
