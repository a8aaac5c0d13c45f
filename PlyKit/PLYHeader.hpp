#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.hpp"

namespace plykit {

// The header of a PLY file: body format, version word and the element
// declarations in file order. Plain values with member-wise equality.
struct PLYHeader {
    enum class Format { ascii, binaryLittleEndian, binaryBigEndian };

    // Case order is the type index 0 to 7.
    enum class PrimitivePropertyType : std::uint8_t { int8, uint8, int16, uint16, int32, uint32, float32, float64 };

    // primitive(type) or list(countType, valueType).
    class PropertyType {
    public:
        static PropertyType primitive(PrimitivePropertyType type) { return PropertyType(std::nullopt, type); }
        static PropertyType list(PrimitivePropertyType countType, PrimitivePropertyType valueType) {
            return PropertyType(countType, valueType);
        }

        bool isList() const noexcept { return countType_.has_value(); }
        // The list's count type; none for a primitive.
        std::optional<PrimitivePropertyType> countType() const noexcept { return countType_; }
        // The primitive's type, or the list's value type.
        PrimitivePropertyType valueType() const noexcept { return valueType_; }

        std::string description() const;
        friend bool operator==(const PropertyType&, const PropertyType&) = default;

    private:
        PropertyType(std::optional<PrimitivePropertyType> countType, PrimitivePropertyType valueType)
            : countType_(countType), valueType_(valueType) {}

        std::optional<PrimitivePropertyType> countType_;
        PrimitivePropertyType valueType_;
    };

    struct Property {
        std::string name;
        PropertyType type;

        std::string description() const;
        friend bool operator==(const Property&, const Property&) = default;
    };

    struct Element {
        std::string name;
        std::uint32_t count = 0;
        std::vector<Property> properties;

        // Position of the first property with exactly this name.
        std::optional<std::size_t> index(std::string_view propertyName) const;
        std::string description() const;
        friend bool operator==(const Element&, const Element&) = default;
    };

    enum class ASCIIDecodeErrorKind {
        headerUnknownKeyword,
        headerUnexpectedKeyword,
        headerInvalidLine,
        headerInvalidFileFormatType,
        headerUnknownPropertyType,
        headerInvalidListCountType,
        headerFormatMissing,
        headerInvalidCharacters,
    };

    // what() is the user-facing text; payload() the offending word or line.
    class ASCIIDecodeError : public tessaron::core::ErrorOf<ASCIIDecodeErrorKind> {
    public:
        ASCIIDecodeError(Kind kind, std::string payload = {});
        const std::string& payload() const noexcept { return payload_; }

    private:
        std::string payload_;
    };

    Format format = Format::ascii;
    std::string version;
    std::vector<Element> elements;

    // Decodes header text: the lines between "ply" and "end_header" (both
    // also accepted when present). Throws ASCIIDecodeError.
    static PLYHeader decodeASCII(std::string_view bytes);

    // The printed form, LF-terminated lines, without "end_header".
    std::string description() const;

    // Position of the first element with exactly this name.
    std::optional<std::size_t> index(std::string_view elementName) const;

    friend bool operator==(const PLYHeader&, const PLYHeader&) = default;
};

// Raw values "ascii", "binary_little_endian", "binary_big_endian"; any other
// text is no format.
std::string_view toString(PLYHeader::Format format) noexcept;
std::optional<PLYHeader::Format> formatFromString(std::string_view text) noexcept;

// The printed (short) name: "char", "uchar", ... "double".
std::string_view toString(PLYHeader::PrimitivePropertyType type) noexcept;
// Accepts both the sized and the short names ("float32" and "float"), exactly.
std::optional<PLYHeader::PrimitivePropertyType> primitivePropertyTypeFromString(std::string_view text) noexcept;

// File bytes per value: 1, 1, 2, 2, 4, 4, 4, 8.
inline constexpr std::size_t primitiveByteWidths[] = {1, 1, 2, 2, 4, 4, 4, 8};
constexpr std::size_t byteWidth(PLYHeader::PrimitivePropertyType type) noexcept {
    return primitiveByteWidths[std::size_t(type)];
}

constexpr bool isIntegerType(PLYHeader::PrimitivePropertyType type) noexcept {
    return type != PLYHeader::PrimitivePropertyType::float32 && type != PLYHeader::PrimitivePropertyType::float64;
}

}  // namespace plykit
