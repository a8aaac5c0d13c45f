#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plykit {

// The platform's byte output stream: the buffered stream writes through it.
// write() answers the count of bytes accepted, 0 when nothing could be
// written, or -1 with error() telling why. Not synchronised.
class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual void open() = 0;
    virtual std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t length) = 0;
    virtual void close() = 0;
    virtual std::string error() const = 0;
    // The bytes of a memory stream (after close); none for other streams.
    virtual std::optional<std::vector<std::uint8_t>> dataWrittenToMemory() = 0;
};

// A file, created or truncated by create() so its contents are replaced.
class FileOutputStream final : public OutputStream {
public:
    static std::unique_ptr<FileOutputStream> create(const std::filesystem::path& path, std::string& openError);
    ~FileOutputStream() override;

    void open() override {}
    // Writes everything or fails: short writes of the system are retried.
    std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t length) override;
    void close() override;
    std::string error() const override { return error_; }
    std::optional<std::vector<std::uint8_t>> dataWrittenToMemory() override { return std::nullopt; }

private:
    explicit FileOutputStream(int descriptor) : descriptor_(descriptor) {}

    int descriptor_;
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
