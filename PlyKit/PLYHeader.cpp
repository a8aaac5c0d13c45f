#include "PlyKit/PLYHeader.hpp"

#include <array>
#include <charconv>

#include "PlyKit/TextScanning.hpp"

namespace plykit {

namespace {

using Kind = PLYHeader::ASCIIDecodeErrorKind;
using PrimitivePropertyType = PLYHeader::PrimitivePropertyType;

std::string describe(Kind kind, const std::string& payload) {
    switch (kind) {
        case Kind::headerUnknownKeyword: return "Unknown keyword in header: \"" + payload + "\"";
        case Kind::headerUnexpectedKeyword: return "Unexpected keyword in header: \"" + payload + "\"";
        case Kind::headerInvalidLine: return "Invalid line in header: \"" + payload + "\"";
        case Kind::headerInvalidFileFormatType: return "Invalid file format type in header: " + payload;
        case Kind::headerUnknownPropertyType: return "Unknown property type: " + payload;
        case Kind::headerInvalidListCountType: return "Invalid list count type: " + payload;
        case Kind::headerFormatMissing: return "Header format missing";
        case Kind::headerInvalidCharacters: return "Invalid characters in header";
    }
    return "Invalid header";
}

// Splits a line into words at horizontal whitespace, dropping empty pieces.
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> result;
    std::size_t position = 0;
    std::size_t wordStart = 0;
    while (position < line.size()) {
        std::size_t space = text::horizontalSpaceLength(line, position);
        if (space == 0) {
            ++position;
            continue;
        }
        if (position > wordStart) result.push_back(line.substr(wordStart, position - wordStart));
        position += space;
        wordStart = position;
    }
    if (position > wordStart) result.push_back(line.substr(wordStart, position - wordStart));
    return result;
}

// Whole-line match of "\s*T1\s+T2 ... \s+Tn" with no trailing whitespace:
// the tokens, or none when the line has another shape.
std::optional<std::vector<std::string_view>> tokensOfShape(std::string_view line, std::size_t tokenCount) {
    std::vector<std::string_view> tokens;
    std::size_t position = 0;
    while (std::size_t space = text::patternSpaceLength(line, position)) position += space;
    while (position < line.size()) {
        std::size_t start = position;
        while (position < line.size() && text::patternSpaceLength(line, position) == 0) ++position;
        tokens.push_back(line.substr(start, position - start));
        std::size_t spaceStart = position;
        while (std::size_t space = text::patternSpaceLength(line, position)) position += space;
        if (position > spaceStart && position == line.size()) return std::nullopt;  // trailing whitespace
    }
    if (tokens.size() != tokenCount) return std::nullopt;
    return tokens;
}

constexpr std::array<std::string_view, 8> kPrintedNames = {"char", "uchar", "short", "ushort",
                                                           "int",  "uint",  "float", "double"};
constexpr std::array<std::string_view, 8> kSizedNames = {"int8",  "uint8",  "int16",   "uint16",
                                                         "int32", "uint32", "float32", "float64"};

class HeaderDecoder {
public:
    // Runs one line; false stops the enumeration (end_header or an error).
    bool decodeLine(std::string_view line) {
        auto lineWords = words(line);
        if (lineWords.empty()) return true;
        std::string_view keyword = lineWords.front();
        if (keyword == "ply" || keyword == "comment" || keyword == "obj_info") return true;
        if (keyword == "end_header") return false;
        if (keyword == "format") return decodeFormat(line);
        if (keyword == "element") return decodeElement(line);
        if (keyword == "property") return decodeProperty(line);
        return record(Kind::headerUnknownKeyword, keyword);
    }

    PLYHeader finish() {
        if (error_) throw *error_;
        if (!header_) throw PLYHeader::ASCIIDecodeError(Kind::headerFormatMissing);
        return std::move(*header_);
    }

private:
    bool record(Kind kind, std::string_view payload = {}) {
        error_.emplace(kind, std::string(payload));
        return false;
    }

    bool decodeFormat(std::string_view line) {
        if (header_) return record(Kind::headerUnexpectedKeyword, "format");
        auto tokens = tokensOfShape(line, 3);
        if (!tokens || !text::isWordText((*tokens)[1])) return record(Kind::headerInvalidLine, line);
        auto format = formatFromString((*tokens)[1]);
        if (!format) return record(Kind::headerInvalidFileFormatType, (*tokens)[1]);
        header_ = PLYHeader{*format, std::string((*tokens)[2]), {}};
        return true;
    }

    bool decodeElement(std::string_view line) {
        if (!header_) return record(Kind::headerUnexpectedKeyword, "element");
        auto tokens = tokensOfShape(line, 3);
        if (!tokens || !text::isDecimalDigitText((*tokens)[2])) return record(Kind::headerInvalidLine, line);
        std::string_view countText = (*tokens)[2];
        std::uint32_t count = 0;
        auto [end, status] = std::from_chars(countText.data(), countText.data() + countText.size(), count);
        // A count beyond 32 bits cannot be held; the line is invalid.
        if (status != std::errc() || end != countText.data() + countText.size())
            return record(Kind::headerInvalidLine, line);
        header_->elements.push_back({std::string((*tokens)[1]), count, {}});
        return true;
    }

    bool decodeProperty(std::string_view line) {
        if (!header_ || header_->elements.empty()) return record(Kind::headerUnexpectedKeyword, "property");
        auto& properties = header_->elements.back().properties;
        auto listTokens = tokensOfShape(line, 5);
        if (listTokens && (*listTokens)[1] == "list" && text::isWordText((*listTokens)[2]) &&
            text::isWordText((*listTokens)[3])) {
            std::string_view countWord = (*listTokens)[2];
            std::string_view valueWord = (*listTokens)[3];
            auto countType = primitivePropertyTypeFromString(countWord);
            if (!countType) return record(Kind::headerUnknownPropertyType, countWord);
            if (!isIntegerType(*countType)) return record(Kind::headerInvalidListCountType, countWord);
            auto valueType = primitivePropertyTypeFromString(valueWord);
            if (!valueType) return record(Kind::headerUnknownPropertyType, valueWord);
            properties.push_back({std::string((*listTokens)[4]), PLYHeader::PropertyType::list(*countType, *valueType)});
            return true;
        }
        auto tokens = tokensOfShape(line, 3);
        if (!tokens || !text::isWordText((*tokens)[1])) return record(Kind::headerInvalidLine, line);
        auto valueType = primitivePropertyTypeFromString((*tokens)[1]);
        if (!valueType) return record(Kind::headerUnknownPropertyType, (*tokens)[1]);
        properties.push_back({std::string((*tokens)[2]), PLYHeader::PropertyType::primitive(*valueType)});
        return true;
    }

    std::optional<PLYHeader> header_;
    std::optional<PLYHeader::ASCIIDecodeError> error_;
};

}  // namespace

PLYHeader::ASCIIDecodeError::ASCIIDecodeError(Kind kind, std::string payload)
    : ErrorOf(kind, describe(kind, payload)), payload_(std::move(payload)) {}

PLYHeader PLYHeader::decodeASCII(std::string_view bytes) {
    if (!text::isValidUTF8(bytes)) throw ASCIIDecodeError(Kind::headerInvalidCharacters);
    HeaderDecoder decoder;
    std::size_t lineStart = 0;
    std::size_t position = 0;
    while (lineStart < bytes.size()) {
        std::size_t terminator = 0;
        while (position < bytes.size() && (terminator = text::lineTerminatorLength(bytes, position)) == 0) ++position;
        if (!decoder.decodeLine(bytes.substr(lineStart, position - lineStart))) break;
        position += terminator;
        lineStart = position;
    }
    return decoder.finish();
}

std::string PLYHeader::PropertyType::description() const {
    if (!countType_) return std::string(toString(valueType_));
    return "list " + std::string(toString(*countType_)) + " " + std::string(toString(valueType_));
}

std::string PLYHeader::Property::description() const { return "property " + type.description() + " " + name + "\n"; }

std::string PLYHeader::Element::description() const {
    std::string text = "element " + name + " " + std::to_string(count) + "\n";
    for (const auto& property : properties) text += property.description();
    return text;
}

std::optional<std::size_t> PLYHeader::Element::index(std::string_view propertyName) const {
    for (std::size_t i = 0; i < properties.size(); ++i)
        if (properties[i].name == propertyName) return i;
    return std::nullopt;
}

std::string PLYHeader::description() const {
    std::string text = "ply\nformat " + std::string(toString(format)) + " " + version + "\n";
    for (const auto& element : elements) text += element.description();
    return text;
}

std::optional<std::size_t> PLYHeader::index(std::string_view elementName) const {
    for (std::size_t i = 0; i < elements.size(); ++i)
        if (elements[i].name == elementName) return i;
    return std::nullopt;
}

std::string_view toString(PLYHeader::Format format) noexcept {
    switch (format) {
        case PLYHeader::Format::ascii: return "ascii";
        case PLYHeader::Format::binaryLittleEndian: return "binary_little_endian";
        case PLYHeader::Format::binaryBigEndian: return "binary_big_endian";
    }
    return "ascii";
}

std::optional<PLYHeader::Format> formatFromString(std::string_view text) noexcept {
    for (auto format : {PLYHeader::Format::ascii, PLYHeader::Format::binaryLittleEndian,
                        PLYHeader::Format::binaryBigEndian})
        if (toString(format) == text) return format;
    return std::nullopt;
}

std::string_view toString(PrimitivePropertyType type) noexcept { return kPrintedNames[std::size_t(type)]; }

std::optional<PrimitivePropertyType> primitivePropertyTypeFromString(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kPrintedNames.size(); ++i)
        if (kPrintedNames[i] == text || kSizedNames[i] == text) return PrimitivePropertyType(i);
    return std::nullopt;
}

}  // namespace plykit
