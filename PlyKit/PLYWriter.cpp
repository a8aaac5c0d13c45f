#include "PlyKit/PLYWriter.hpp"

#include <algorithm>
#include <cstring>

#include "PlyKit/ByteCodec.hpp"

namespace plykit {

namespace {

std::string describe(PLYWriter::ErrorKind kind) {
    using Kind = PLYWriter::ErrorKind;
    switch (kind) {
        case Kind::headerAlreadyWritten: return "PLY header already written";
        case Kind::headerNotYetWritten: return "PLY header not yet written";
        case Kind::cannotWriteAfterClose: return "Cannot write after the PLY writer was closed";
        case Kind::unexpectedElement: return "Unexpected element: the header declares no more elements";
        case Kind::unknownOutputStreamError: return "Unknown output stream error";
        case Kind::outputStreamFull: return "Output stream full";
        case Kind::elementsMissing: return "PLYWriter stream closed before all elements have been written";
        case Kind::propertylessElementTooLong:
            return "An element without properties cannot be written as more than " +
                   std::to_string(PLYWriter::propertylessLineCeiling) + " empty ASCII lines";
        case Kind::countExceedsElements: return "Element count exceeds the elements given";
        case Kind::encodedElementsNeedScalarBinary:
            return "Encoded elements need a binary body and element types of scalar properties";
    }
    return "PLY writer error";
}

// Copies `bytes` bytes of `Word`-sized values from `in` to `out`, each with
// its bytes reversed.
template <typename Word>
void reverseEach(const std::uint8_t* in, std::uint8_t* out, std::size_t bytes) {
    for (std::size_t offset = 0; offset + sizeof(Word) <= bytes; offset += sizeof(Word)) {
        Word word;
        std::memcpy(&word, in + offset, sizeof word);
        word = byteSwapped(word);
        std::memcpy(out + offset, &word, sizeof word);
    }
}

}  // namespace

PLYWriter::Error::Error(Kind kind) : ErrorOf(kind, describe(kind)) {}

PLYWriter::PLYWriter(WriterDestination destination)
    : outputStream_(std::move(destination), initialBufferSize), buffer_(initialBufferSize) {}

void PLYWriter::write(const PLYHeader& header) {
    if (closed_) throw Error(ErrorKind::cannotWriteAfterClose);
    if (header_) throw Error(ErrorKind::headerAlreadyWritten);
    if (header.format == PLYHeader::Format::ascii)
        for (const auto& declaration : header.elements)
            if (declaration.properties.empty() && declaration.count > propertylessLineCeiling)
                throw Error(ErrorKind::propertylessElementTooLong);
    header_ = header;
    ascii_ = header.format == PLYHeader::Format::ascii;
    bigEndian_ = header.format == PLYHeader::Format::binaryBigEndian;
    skipTypesNeedingNoElements();
    outputStream_.write(header.description());
    outputStream_.write(std::string_view("end_header\n"));
}

bool PLYWriter::needsNoElements(const PLYHeader::Element& declaration) const {
    return declaration.count == 0 || (!ascii_ && declaration.properties.empty());
}

void PLYWriter::skipTypesNeedingNoElements() {
    const auto& declarations = header_->elements;
    while (currentElementGroupIndex_ < declarations.size() && needsNoElements(declarations[currentElementGroupIndex_]))
        ++currentElementGroupIndex_;
}

void PLYWriter::write(std::span<const PLYElement> elements, std::optional<std::size_t> count) {
    if (closed_) throw Error(ErrorKind::cannotWriteAfterClose);
    if (!header_) throw Error(ErrorKind::headerNotYetWritten);
    if (count) {
        if (*count > elements.size()) throw Error(ErrorKind::countExceedsElements);
        elements = elements.first(*count);
    }
    const auto& declarations = header_->elements;
    while (!elements.empty()) {
        if (currentElementGroupIndex_ >= declarations.size()) throw Error(ErrorKind::unexpectedElement);
        const auto& declaration = declarations[currentElementGroupIndex_];
        std::uint64_t left = declaration.count - currentElementCountInGroup_;
        std::size_t groupSize = std::size_t(std::min<std::uint64_t>(left, elements.size()));
        auto group = elements.first(groupSize);

        if (ascii_) {
            for (const auto& element : group) {
                line_.clear();
                element.appendDescription(line_);
                outputStream_.write(std::string_view(line_));
                outputStream_.write(std::string_view("\n"));
            }
        } else {
            std::size_t fill = 0;
            for (const auto& element : group) {
                std::size_t width = element.binaryByteCount(declaration);
                if (width > buffer_.size() - fill) {
                    if (fill > 0) outputStream_.write(std::span<const std::uint8_t>(buffer_.data(), fill));
                    fill = 0;
                    // One element wider than the buffer gets a buffer of its own width.
                    if (width > buffer_.size()) buffer_.assign(width, 0);
                }
                fill += element.encodeBinary(declaration, buffer_.data(), fill, bigEndian_);
            }
            if (fill > 0) outputStream_.write(std::span<const std::uint8_t>(buffer_.data(), fill));
        }

        elements = elements.subspan(groupSize);
        advance(groupSize);
    }
}

void PLYWriter::writeEncoded(std::span<const std::uint8_t> bytes, std::size_t count, bool bigEndian) {
    if (closed_) throw Error(ErrorKind::cannotWriteAfterClose);
    if (!header_) throw Error(ErrorKind::headerNotYetWritten);
    if (ascii_) throw Error(ErrorKind::encodedElementsNeedScalarBinary);
    const auto& declarations = header_->elements;
    while (count > 0) {
        if (currentElementGroupIndex_ >= declarations.size()) throw Error(ErrorKind::unexpectedElement);
        const auto& declaration = declarations[currentElementGroupIndex_];
        std::vector<std::size_t> widths;
        std::size_t stride = 0;
        for (const auto& property : declaration.properties) {
            if (property.type.isList()) throw Error(ErrorKind::encodedElementsNeedScalarBinary);
            widths.push_back(byteWidth(property.type.valueType()));
            stride += widths.back();
        }
        std::size_t groupSize = std::size_t(std::min<std::uint64_t>(declaration.count - currentElementCountInGroup_, count));
        if (bytes.size() < groupSize * stride) throw Error(ErrorKind::countExceedsElements);
        auto group = bytes.first(groupSize * stride);
        if (bigEndian == bigEndian_) {
            outputStream_.write(group);
        } else {
            // Whole elements per buffer load, each value reversed in place.
            std::size_t perLoad = std::max<std::size_t>(1, buffer_.size() / std::max<std::size_t>(stride, 1));
            if (buffer_.size() < perLoad * stride) buffer_.assign(perLoad * stride, 0);
            // Values of one width throughout (a Gaussian's floats) are
            // reversed as a plain run of numbers, which the compiler
            // vectorises.
            std::size_t sameWidth = widths.empty() ? 0 : widths.front();
            for (std::size_t width : widths)
                if (width != sameWidth) sameWidth = 0;
            for (std::size_t first = 0; first < groupSize; first += perLoad) {
                std::size_t loadBytes = std::min(perLoad, groupSize - first) * stride;
                std::uint8_t* out = buffer_.data();
                const std::uint8_t* in = group.data() + first * stride;
                switch (sameWidth) {
                    case 1: std::memcpy(out, in, loadBytes); break;
                    case 2: reverseEach<std::uint16_t>(in, out, loadBytes); break;
                    case 4: reverseEach<std::uint32_t>(in, out, loadBytes); break;
                    case 8: reverseEach<std::uint64_t>(in, out, loadBytes); break;
                    default:
                        std::memcpy(out, in, loadBytes);
                        for (std::size_t offset = 0; offset < loadBytes;)
                            for (std::size_t width : widths) {
                                std::reverse(out + offset, out + offset + width);
                                offset += width;
                            }
                }
                outputStream_.write(std::span<const std::uint8_t>(out, loadBytes));
            }
        }
        bytes = bytes.subspan(group.size());
        count -= groupSize;
        advance(groupSize);
    }
}

void PLYWriter::advance(std::uint64_t count) {
    const auto& declarations = header_->elements;
    currentElementCountInGroup_ += count;
    if (currentElementCountInGroup_ == declarations[currentElementGroupIndex_].count) {
        ++currentElementGroupIndex_;
        skipTypesNeedingNoElements();
        currentElementCountInGroup_ = 0;
    }
}

bool PLYWriter::elementsOutstanding() const {
    if (!header_) return false;
    const auto& declarations = header_->elements;
    for (std::size_t i = currentElementGroupIndex_; i < declarations.size(); ++i)
        if (!needsNoElements(declarations[i]) &&
            declarations[i].count > (i == currentElementGroupIndex_ ? currentElementCountInGroup_ : 0))
            return true;
    return false;
}

void PLYWriter::close() {
    if (closed_) return;
    closed_ = true;
    buffer_ = {};
    bool incomplete = elementsOutstanding();
    outputStream_.close();
    if (incomplete) throw Error(ErrorKind::elementsMissing);
}

}  // namespace plykit
