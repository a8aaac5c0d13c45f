#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "PlyKit/PLYHeader.hpp"
#include "core/Error.hpp"

namespace plykit {

// One row of a PLY body: a value per property of the element's declaration,
// in header order, and the four codings of such a row.
struct PLYElement {
    // Sixteen cases in this order: the eight scalars int8 ... float64, then
    // the lists listInt8 ... listFloat64. A list does not record its count
    // type; the header gives it when the value is written.
    struct Property
        : std::variant<std::int8_t, std::uint8_t, std::int16_t, std::uint16_t, std::int32_t, std::uint32_t, float,
                       double, std::vector<std::int8_t>, std::vector<std::uint8_t>, std::vector<std::int16_t>,
                       std::vector<std::uint16_t>, std::vector<std::int32_t>, std::vector<std::uint32_t>,
                       std::vector<float>, std::vector<double>> {
        using variant::variant;
        using variant::operator=;

        const variant& value() const noexcept { return *this; }
        variant& value() noexcept { return *this; }

        bool isList() const noexcept { return index() >= 8; }
        // The scalar's type, or the list's value type.
        PLYHeader::PrimitivePropertyType primitiveType() const noexcept {
            return PLYHeader::PrimitivePropertyType(index() % 8);
        }
        // Entries of a list; none for a scalar.
        std::optional<std::size_t> listCount() const noexcept;
        // Whether the value fits the declared type (a list: its value type).
        bool matches(const PLYHeader::PropertyType& type) const noexcept;

        // ASCII text: integers in decimal, floats as their shortest
        // round-trip text, a list as its count then its entries.
        std::string description() const;
        void appendDescription(std::string& text) const;

        friend bool operator==(const Property& a, const Property& b) { return a.value() == b.value(); }
    };

    enum class ASCIIDecodeErrorKind {
        bodyInvalidStringForPropertyType,
        bodyMissingPropertyValuesInElement,
        bodyUnexpectedValuesInElement,
    };
    class ASCIIDecodeError : public tessaron::core::ErrorOf<ASCIIDecodeErrorKind> {
    public:
        ASCIIDecodeError(Kind kind, PLYHeader::Element element, std::size_t index,
                         std::optional<PLYHeader::Property> property);
        const PLYHeader::Element& element() const noexcept { return element_; }
        std::size_t index() const noexcept { return index_; }
        const std::optional<PLYHeader::Property>& property() const noexcept { return property_; }

    private:
        PLYHeader::Element element_;
        std::size_t index_;
        std::optional<PLYHeader::Property> property_;
    };

    enum class BinaryEncodeErrorKind { propertyCountMismatch, typeMismatch, listCountTypeOverflow, invalidListCountType };
    class BinaryEncodeError : public tessaron::core::ErrorOf<BinaryEncodeErrorKind> {
    public:
        using ErrorOf::ErrorOf;
        // Payloads of the cases: the declaration or declared type expected,
        // the offending value, the count type and the list's count.
        std::optional<PLYHeader::Element> expectedElement;
        std::optional<PLYHeader::PropertyType> expectedType;
        std::optional<Property> actualProperty;
        std::size_t actualPropertyCount = 0;
        std::optional<PLYHeader::PrimitivePropertyType> countType;
        std::size_t actualListCount = 0;
    };

    // Binary input the codec refuses rather than guess at: a negative list
    // count, or a list whose declared count type is not an integer type.
    enum class BinaryDecodeErrorKind { negativeListCount, invalidListCountType };
    class BinaryDecodeError : public tessaron::core::ErrorOf<BinaryDecodeErrorKind> {
    public:
        BinaryDecodeError(Kind kind, const PLYHeader::Element& element, const PLYHeader::Property& property,
                          std::int64_t count = 0);
    };

    std::vector<Property> properties;

    PLYElement() = default;
    explicit PLYElement(std::vector<Property> values) : properties(std::move(values)) {}

    // Decodes one body line (without its terminator, valid UTF-8) in place.
    // `index` is shown in error texts (the reader passes the element type's
    // position in the header).
    void decodeASCII(const PLYHeader::Element& type, std::string_view line, std::size_t index);

    // Decodes one element from `bytesAvailable` bytes at `base + offset`:
    // the bytes used, or none when the element needs more. Then
    // `bytesNeeded`, when given, receives a lower bound of the element's
    // size. Throws BinaryDecodeError for input it cannot decode at all.
    std::optional<std::size_t> decodeBinary(const PLYHeader::Element& type, const std::uint8_t* base, std::size_t offset,
                                            std::size_t bytesAvailable, bool bigEndian,
                                            std::uint64_t* bytesNeeded = nullptr);

    // Bytes encodeBinary will write; throws propertyCountMismatch.
    std::size_t binaryByteCount(const PLYHeader::Element& type) const;
    // Writes at `base + offset` (the caller provides binaryByteCount bytes);
    // returns the bytes written. Throws BinaryEncodeError.
    std::size_t encodeBinary(const PLYHeader::Element& type, std::uint8_t* base, std::size_t offset,
                             bool bigEndian) const;

    // The property texts joined by single blanks, no line terminator.
    std::string description() const;
    void appendDescription(std::string& text) const;

    friend bool operator==(const PLYElement&, const PLYElement&) = default;
};

}  // namespace plykit
