#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "PlyKit/AsyncBufferingOutputStream.hpp"
#include "PlyKit/PLYElement.hpp"
#include "PlyKit/PLYHeader.hpp"
#include "PlyKit/WriterDestination.hpp"
#include "core/Error.hpp"

namespace plykit {

// Writes a PLY file: the header, then the elements in the header's order and
// numbers, as ASCII lines or binary in the header's byte order. Not
// synchronised: one thread uses a writer at a time.
class PLYWriter {
public:
    static constexpr std::size_t initialBufferSize = 65536;
    static constexpr std::uint64_t propertylessLineCeiling = 65536;

    enum class ErrorKind {
        headerAlreadyWritten,
        headerNotYetWritten,
        cannotWriteAfterClose,
        unexpectedElement,
        unknownOutputStreamError,
        outputStreamFull,
        // Closed before every declared element was written: the file is
        // incomplete. The file is closed all the same.
        elementsMissing,
        // write(elements, count) with a count above the elements given.
        countExceedsElements,
        // An ASCII header with an element type without properties declared
        // more often than propertylessLineCeiling: one empty line each, which
        // no reader accepts, would fill the disk.
        propertylessElementTooLong,
        encodedElementsNeedScalarBinary,
    };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        explicit Error(Kind kind);
    };

    // Throws the destination's error when it cannot be opened.
    explicit PLYWriter(WriterDestination destination);
    explicit PLYWriter(const std::filesystem::path& path) : PLYWriter(WriterDestination::file(path)) {}

    // Writes the header's printed text and "end_header". The header counts as
    // written from the start, even when writing it fails. A binary body has
    // no bytes for an element type without properties: such a type needs no
    // element. Throws propertylessElementTooLong before writing anything.
    void write(const PLYHeader& header);
    // Writes the first `count` elements (all when none is given).
    void write(std::span<const PLYElement> elements, std::optional<std::size_t> count = std::nullopt);
    void write(const PLYElement& element) { write(std::span<const PLYElement>(&element, 1)); }
    // `count` elements already encoded in binary, back to back, in the byte
    // order `bigEndian` says (as the reader delivers them as bytes): copied
    // as they are, or each value's bytes swapped for the other order. Needs a
    // binary body and element types of scalar properties only.
    void writeEncoded(std::span<const std::uint8_t> bytes, std::size_t count, bool bigEndian);

    // Flushes and closes the output; a second close does nothing. Throws
    // elementsMissing (after closing) when the header's counts are not met.
    void close();

    // The whole file for a memory destination after close(); otherwise none.
    std::optional<std::vector<std::uint8_t>> writtenData() const { return outputStream_.writtenData(); }

private:
    // Counts `count` elements of the current type written.
    void advance(std::uint64_t count);

    // True when a declared element is still to be written.
    bool elementsOutstanding() const;
    // True when the type needs no elements written: none declared, or no
    // bytes in a binary body.
    bool needsNoElements(const PLYHeader::Element& declaration) const;
    // Moves past the types from the current one on that need no elements.
    void skipTypesNeedingNoElements();

    AsyncBufferingOutputStream outputStream_;
    std::vector<std::uint8_t> buffer_;  // staging for binary elements; its size is bufferSize
    std::optional<PLYHeader> header_;
    bool ascii_ = false;
    bool bigEndian_ = false;
    std::size_t currentElementGroupIndex_ = 0;
    std::uint64_t currentElementCountInGroup_ = 0;
    bool closed_ = false;
    std::string line_;  // reused for ASCII lines
};

}  // namespace plykit
