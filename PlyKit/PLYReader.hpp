#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "PlyKit/PLYElement.hpp"
#include "PlyKit/PLYHeader.hpp"
#include "PlyKit/ReaderSource.hpp"
#include "core/Error.hpp"

namespace plykit {

// Reads a PLY file: the header at once, then the body in batches of one
// element type each, in file order, pulled by the consumer. Decoding runs on
// the consumer's thread inside next(), so a consumer that stops pulling stops
// the reading and nothing is buffered beyond one input buffer. A binary body
// has no bytes for an element type without properties; nothing is delivered
// for such a type, so its declared count costs no time.
class PLYReader {
public:
    // Input chunk size, header search limit, ASCII batch size, initial binary
    // buffer and largest binary batch.
    static constexpr std::size_t chunkSize = 16384;
    static constexpr std::size_t headerSearchLimit = 0x40000;
    static constexpr std::size_t asciiBatchCapacity = 1024;
    static constexpr std::size_t binaryBatchCapacity = 65536;
    // Input read at once while a type is delivered as bytes: large enough
    // that per-read costs vanish, small enough to stay in the cache.
    static constexpr std::size_t byteBatchReadSize = std::size_t(1) << 20;
    // Largest ASCII line, and largest binary element when the input's size is
    // unknown: bounds what a malformed file can make the reader hold.
    static constexpr std::uint64_t elementSizeCeiling = std::uint64_t(256) << 20;

    enum class ErrorKind {
        readError,
        headerStartMissing,
        headerEndMissing,
        unexpectedEndOfFile,
        unexpectedContentAtEndOfBody,
        internalConsistency,
        elementTooLarge,
    };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        explicit Error(Kind kind);
    };

    // Consecutive instances of one element type. The declaration is shared
    // by every batch of the read. A type asked for as bytes (deliverBytes)
    // comes with `elements` empty and its `count` instances in `bytes`, back
    // to back in the file's encoding; those bytes stay valid until the
    // sequence's next call of next().
    struct ElementSeries {
        std::vector<PLYElement> elements;
        std::size_t typeIndex = 0;
        std::shared_ptr<const PLYHeader::Element> elementHeader;
        std::span<const std::uint8_t> bytes;
        std::size_t byteInstanceCount = 0;

        std::size_t count() const noexcept { return elements.empty() ? byteInstanceCount : elements.size(); }
    };

    class BodyDecoder;

    // The batches of one read. next() returns the next batch, none at the
    // normal end, or throws the error that ends the body (once; after it,
    // none). Batches delivered before an error stay valid.
    class ElementSequence {
    public:
        explicit ElementSequence(std::unique_ptr<BodyDecoder> decoder);
        ElementSequence(ElementSequence&&) noexcept;
        ElementSequence& operator=(ElementSequence&&) noexcept;
        ~ElementSequence();

        std::optional<ElementSeries> next();

        // Hands delivered elements back so later batches decode into their
        // storage instead of allocating anew. Optional; their values are
        // overwritten, so the caller must be done with them.
        void recycle(std::vector<PLYElement> elements);

        // Asks for the instances of element type `typeIndex` as their bytes
        // rather than decoded, which spares the decoding for a consumer that
        // knows the layout. Granted (true) only for a binary body whose type
        // has scalar properties only, so that every instance has one size;
        // otherwise the type keeps coming decoded. Call before the first next().
        bool deliverBytes(std::size_t typeIndex);

        // Range-for support; advancing may throw the body's error.
        class Iterator {
        public:
            using value_type = ElementSeries;
            using difference_type = std::ptrdiff_t;
            Iterator() = default;
            explicit Iterator(ElementSequence* sequence) : sequence_(sequence) { ++*this; }
            ElementSeries& operator*() const { return *current_; }
            ElementSeries* operator->() const { return &*current_; }
            Iterator& operator++() {
                current_ = sequence_->next();
                return *this;
            }
            void operator++(int) { ++*this; }
            friend bool operator==(const Iterator& iterator, std::default_sentinel_t) { return !iterator.current_; }

        private:
            ElementSequence* sequence_ = nullptr;
            mutable std::optional<ElementSeries> current_;
        };
        Iterator begin() { return Iterator(this); }
        std::default_sentinel_t end() { return {}; }

    private:
        std::unique_ptr<BodyDecoder> decoder_;
    };

    struct ReadResult {
        PLYHeader header;
        ElementSequence elements;
    };

    explicit PLYReader(ReaderSource source) : source_(std::move(source)) {}
    explicit PLYReader(const std::filesystem::path& path) : source_(ReaderSource::url(path)) {}
    explicit PLYReader(std::vector<std::uint8_t> bytes) : source_(ReaderSource::memory(std::move(bytes))) {}

    const ReaderSource& source() const noexcept { return source_; }

    // Opens the source anew, finds and decodes the header. Errors up to here
    // are thrown; the body's errors end the returned sequence. A stop request
    // makes the next input read throw CancellationError.
    ReadResult read(std::stop_token stopToken = {}) const;

private:
    ReaderSource source_;
};

}  // namespace plykit
