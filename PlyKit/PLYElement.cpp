#include "PlyKit/PLYElement.hpp"

#include <limits>
#include <type_traits>
#include <utility>

#include "PlyKit/ByteCodec.hpp"
#include "PlyKit/NumberCoding.hpp"
#include "PlyKit/TextScanning.hpp"

namespace plykit {

namespace {

using PrimitivePropertyType = PLYHeader::PrimitivePropertyType;

// Calls `action` with a std::type_identity of the C++ type of `type`.
template <typename Action>
decltype(auto) withType(PrimitivePropertyType type, Action&& action) {
    switch (type) {
        case PrimitivePropertyType::int8: return action(std::type_identity<std::int8_t>{});
        case PrimitivePropertyType::uint8: return action(std::type_identity<std::uint8_t>{});
        case PrimitivePropertyType::int16: return action(std::type_identity<std::int16_t>{});
        case PrimitivePropertyType::uint16: return action(std::type_identity<std::uint16_t>{});
        case PrimitivePropertyType::int32: return action(std::type_identity<std::int32_t>{});
        case PrimitivePropertyType::uint32: return action(std::type_identity<std::uint32_t>{});
        case PrimitivePropertyType::float32: return action(std::type_identity<float>{});
        case PrimitivePropertyType::float64: break;
    }
    return action(std::type_identity<double>{});
}

template <typename T>
std::optional<T> parseToken(std::string_view token) noexcept {
    if constexpr (std::is_same_v<T, float>)
        return numbers::parseFloat(token);
    else if constexpr (std::is_same_v<T, double>)
        return numbers::parseDouble(token);
    else
        return numbers::parseInteger<T>(token);
}

template <typename T>
void appendNumber(std::string& text, T value) {
    char digits[numbers::maximumNumberTextLength];
    char* end;
    if constexpr (std::is_floating_point_v<T>)
        end = numbers::formatFloat(digits, value);
    else
        end = numbers::formatInteger(digits, value);
    text.append(digits, end);
}

// Where decoding puts property i: a fresh element (whose property count
// differs from the declaration's) gets its values appended in order; an
// element of the right shape is overwritten in place, its lists reused.
class PropertySlots {
public:
    PropertySlots(std::vector<PLYElement::Property>& properties, std::size_t count)
        : properties_(properties), appending_(properties.size() != count) {
        if (appending_) {
            properties_.clear();
            properties_.reserve(count);
        }
    }

    template <typename T>
    [[gnu::always_inline]] void setScalar(std::size_t index, T value) {
        if (appending_) {
            properties_.emplace_back(std::in_place_type<T>, value);
        } else if (auto* held = std::get_if<T>(&properties_[index].value())) {
            *held = value;
        } else {
            properties_[index].value().template emplace<T>(value);
        }
    }

    template <typename T>
    std::vector<T>& list(std::size_t index, std::size_t count) {
        if (appending_) return std::get<std::vector<T>>(properties_.emplace_back(std::in_place_type<std::vector<T>>, count).value());
        auto* held = std::get_if<std::vector<T>>(&properties_[index].value());
        if (!held) held = &properties_[index].value().template emplace<std::vector<T>>();
        held->resize(count);
        return *held;
    }

private:
    std::vector<PLYElement::Property>& properties_;
    bool appending_;
};

// The tokens of one ASCII body line: trimmed of horizontal whitespace at both
// ends, then split at every single whitespace character, so two blanks in a
// row make an empty token and an empty line one empty token.
class LineTokens {
public:
    explicit LineTokens(std::string_view line) {
        std::size_t start = 0;
        while (std::size_t space = text::horizontalSpaceLength(line, start)) start += space;
        std::size_t end = line.size();
        while (end > start) {
            std::size_t last = lastCharacterStart(line, end);
            if (text::horizontalSpaceLength(line, last) != end - last) break;
            end = last;
        }
        rest_ = line.substr(start, end - start);
        count_ = 1;
        for (std::size_t position = 0; position < rest_.size();) {
            std::size_t space = spaceAt(position);
            count_ += space > 0;
            position += space > 0 ? space : 1;
        }
    }

    std::size_t count() const noexcept { return count_; }
    std::size_t consumed() const noexcept { return consumed_; }
    bool hasMore() const noexcept { return consumed_ < count_; }

    std::string_view next() noexcept {
        ++consumed_;
        for (std::size_t position = 0; position < rest_.size(); ++position) {
            if (std::size_t space = spaceAt(position)) {
                std::string_view token = rest_.substr(0, position);
                rest_.remove_prefix(position + space);
                return token;
            }
        }
        std::string_view token = rest_;
        rest_ = {};
        return token;
    }

private:
    std::size_t spaceAt(std::size_t position) const noexcept {
        char c = rest_[position];
        if (c == ' ' || c == '\t') return 1;
        if (static_cast<unsigned char>(c) < 0x80) return 0;
        return text::horizontalSpaceLength(rest_, position);
    }

    static std::size_t lastCharacterStart(std::string_view line, std::size_t end) noexcept {
        std::size_t position = end - 1;
        while (position > 0 && (static_cast<unsigned char>(line[position]) & 0xC0) == 0x80) --position;
        return position;
    }

    std::string_view rest_;
    std::size_t count_ = 0;
    std::size_t consumed_ = 0;
};

std::string describe(PLYElement::ASCIIDecodeErrorKind kind, const PLYHeader::Element& element, std::size_t index,
                     const std::optional<PLYHeader::Property>& property) {
    using Kind = PLYElement::ASCIIDecodeErrorKind;
    std::string propertyName = property ? property->name : std::string();
    std::string where = " in element " + element.name + ", index " + std::to_string(index);
    switch (kind) {
        case Kind::bodyInvalidStringForPropertyType: return "Invalid type string for property " + propertyName + where;
        case Kind::bodyMissingPropertyValuesInElement: return "Missing values for property " + propertyName + where;
        case Kind::bodyUnexpectedValuesInElement: return "Unexpected values" + where;
    }
    return "Invalid element" + where;
}

}  // namespace

// --- Property

std::optional<std::size_t> PLYElement::Property::listCount() const noexcept {
    return std::visit(
        [](const auto& value) -> std::optional<std::size_t> {
            if constexpr (std::is_arithmetic_v<std::decay_t<decltype(value)>>)
                return std::nullopt;
            else
                return value.size();
        },
        this->value());
}

bool PLYElement::Property::matches(const PLYHeader::PropertyType& type) const noexcept {
    return isList() == type.isList() && primitiveType() == type.valueType();
}

void PLYElement::Property::appendDescription(std::string& text) const {
    std::visit(
        [&text](const auto& value) {
            using Value = std::decay_t<decltype(value)>;
            if constexpr (std::is_arithmetic_v<Value>) {
                appendNumber(text, value);
            } else {
                appendNumber(text, value.size());
                for (auto entry : value) {
                    text += ' ';
                    appendNumber(text, entry);
                }
            }
        },
        this->value());
}

std::string PLYElement::Property::description() const {
    std::string text;
    appendDescription(text);
    return text;
}

// --- Errors

PLYElement::ASCIIDecodeError::ASCIIDecodeError(Kind kind, PLYHeader::Element element, std::size_t index,
                                               std::optional<PLYHeader::Property> property)
    : ErrorOf(kind, describe(kind, element, index, property)),
      element_(std::move(element)),
      index_(index),
      property_(std::move(property)) {}

PLYElement::BinaryDecodeError::BinaryDecodeError(Kind kind, const PLYHeader::Element& element,
                                                 const PLYHeader::Property& property, std::int64_t count)
    : ErrorOf(kind, kind == Kind::negativeListCount
                        ? "Negative list count " + std::to_string(count) + " for property " + property.name +
                              " in element " + element.name
                        : "Invalid list count type " + property.type.description() + " for property " +
                              property.name + " in element " + element.name) {}

// --- ASCII

void PLYElement::decodeASCII(const PLYHeader::Element& type, std::string_view line, std::size_t index) {
    using Kind = ASCIIDecodeErrorKind;
    PropertySlots slots(properties, type.properties.size());
    LineTokens tokens(line);
    auto fail = [&](Kind kind, const PLYHeader::Property* property) {
        throw ASCIIDecodeError(kind, type, index, property ? std::optional(*property) : std::nullopt);
    };
    for (std::size_t i = 0; i < type.properties.size(); ++i) {
        const auto& declaration = type.properties[i];
        if (!tokens.hasMore()) fail(Kind::bodyMissingPropertyValuesInElement, &declaration);
        std::string_view token = tokens.next();
        auto countType = declaration.type.countType();
        if (!countType) {
            withType(declaration.type.valueType(), [&]<typename T>(std::type_identity<T>) {
                auto value = parseToken<T>(token);
                if (!value) fail(Kind::bodyInvalidStringForPropertyType, &declaration);
                slots.setScalar(i, *value);
            });
            continue;
        }
        // A count must be a whole number of an integer type, and not negative.
        std::optional<std::int64_t> count;
        if (isIntegerType(*countType)) {
            withType(*countType, [&]<typename C>(std::type_identity<C>) {
                if constexpr (std::is_integral_v<C>) {
                    auto parsed = numbers::parseInteger<C>(token);
                    if (parsed && *parsed >= 0) count = static_cast<std::int64_t>(*parsed);
                }
            });
        }
        if (!count) fail(Kind::bodyInvalidStringForPropertyType, &declaration);
        if (tokens.consumed() + std::uint64_t(*count) > tokens.count())
            fail(Kind::bodyMissingPropertyValuesInElement, &declaration);
        withType(declaration.type.valueType(), [&]<typename T>(std::type_identity<T>) {
            auto& list = slots.template list<T>(i, std::size_t(*count));
            for (auto& entry : list) {
                auto value = parseToken<T>(tokens.next());
                if (!value) fail(Kind::bodyInvalidStringForPropertyType, &declaration);
                entry = *value;
            }
        });
    }
    if (tokens.hasMore()) fail(Kind::bodyUnexpectedValuesInElement, nullptr);
}

void PLYElement::appendDescription(std::string& text) const {
    for (std::size_t i = 0; i < properties.size(); ++i) {
        if (i > 0) text += ' ';
        properties[i].appendDescription(text);
    }
}

std::string PLYElement::description() const {
    std::string text;
    appendDescription(text);
    return text;
}

// --- Binary

std::optional<std::size_t> PLYElement::decodeBinary(const PLYHeader::Element& type, const std::uint8_t* base,
                                                    std::size_t offset, std::size_t bytesAvailable, bool bigEndian,
                                                    std::uint64_t* bytesNeeded) {
    PropertySlots slots(properties, type.properties.size());
    std::size_t used = 0;
    auto needMore = [&](std::uint64_t propertyBytes) -> std::optional<std::size_t> {
        if (bytesNeeded) *bytesNeeded = used + propertyBytes;
        return std::nullopt;
    };
    const std::size_t propertyCount = type.properties.size();
    for (std::size_t i = 0; i < propertyCount; ++i) {
        const auto& declaration = type.properties[i];
        std::size_t left = bytesAvailable - used;
        if (!declaration.type.isList()) {
            auto valueType = declaration.type.valueType();
            std::size_t width = byteWidth(valueType);
            if (left < width) return needMore(width);
            const std::uint8_t* at = base + offset + used;
            withType(valueType, [&]<typename T>(std::type_identity<T>) {
                slots.setScalar(i, ByteCodec<T>::load(at, bigEndian));
            });
            used += width;
            continue;
        }
        auto countType = declaration.type.countType();
        if (!isIntegerType(*countType))
            throw BinaryDecodeError(BinaryDecodeErrorKind::invalidListCountType, type, declaration);
        std::size_t countWidth = byteWidth(*countType);
        if (left < countWidth) return needMore(countWidth);
        std::int64_t count = withType(*countType, [&]<typename C>(std::type_identity<C>) -> std::int64_t {
            if constexpr (std::is_integral_v<C>)
                return static_cast<std::int64_t>(ByteCodec<C>::load(base, offset + used, bigEndian));
            else
                return -1;
        });
        if (count < 0) throw BinaryDecodeError(BinaryDecodeErrorKind::negativeListCount, type, declaration, count);
        auto valueType = declaration.type.valueType();
        // 64-bit: a 32-bit count of 8-byte values cannot overflow it.
        std::uint64_t listBytes = countWidth + std::uint64_t(count) * byteWidth(valueType);
        if (listBytes > left) return needMore(listBytes);
        withType(valueType, [&]<typename T>(std::type_identity<T>) {
            auto& list = slots.template list<T>(i, std::size_t(count));
            ByteCodec<T>::loadArray(base, offset + used + countWidth, std::span<T>(list), bigEndian);
        });
        used += std::size_t(listBytes);
    }
    return used;
}

std::size_t PLYElement::binaryByteCount(const PLYHeader::Element& type) const {
    if (properties.size() != type.properties.size()) {
        BinaryEncodeError error(BinaryEncodeErrorKind::propertyCountMismatch,
                                "Element has " + std::to_string(properties.size()) + " values, element " + type.name +
                                    " declares " + std::to_string(type.properties.size()) + " properties");
        error.expectedElement = type;
        error.actualPropertyCount = properties.size();
        throw error;
    }
    std::size_t total = 0;
    for (std::size_t i = 0; i < type.properties.size(); ++i) {
        const auto& declared = type.properties[i].type;
        if (auto countType = declared.countType())
            total += byteWidth(*countType) + properties[i].listCount().value_or(0) * byteWidth(declared.valueType());
        else
            total += byteWidth(declared.valueType());
    }
    return total;
}

std::size_t PLYElement::encodeBinary(const PLYHeader::Element& type, std::uint8_t* base, std::size_t offset,
                                     bool bigEndian) const {
    using Kind = BinaryEncodeErrorKind;
    if (properties.size() != type.properties.size()) binaryByteCount(type);  // throws the mismatch
    auto typeMismatch = [&](const PLYHeader::PropertyType& expected, const Property& actual) {
        BinaryEncodeError error(Kind::typeMismatch, "Value of type " + std::string(toString(actual.primitiveType())) +
                                                        (actual.isList() ? " list" : "") +
                                                        " does not match the declared type " + expected.description());
        error.expectedType = expected;
        error.actualProperty = actual;
        return error;
    };
    std::size_t position = offset;
    for (std::size_t i = 0; i < type.properties.size(); ++i) {
        const auto& declared = type.properties[i].type;
        const Property& value = properties[i];
        auto countType = declared.countType();
        if (!countType) {
            if (value.isList() || value.primitiveType() != declared.valueType()) throw typeMismatch(declared, value);
            withType(declared.valueType(), [&]<typename T>(std::type_identity<T>) {
                position += ByteCodec<T>::store(*std::get_if<T>(&value.value()), base, position, bigEndian);
            });
            continue;
        }
        if (!value.isList()) throw typeMismatch(declared, value);
        if (!isIntegerType(*countType)) {
            BinaryEncodeError error(Kind::invalidListCountType,
                                    "Invalid list count type " + std::string(toString(*countType)));
            error.countType = *countType;
            throw error;
        }
        std::size_t count = *value.listCount();
        withType(*countType, [&]<typename C>(std::type_identity<C>) {
            if constexpr (std::is_integral_v<C>) {
                if (count > std::size_t(std::numeric_limits<C>::max())) {
                    BinaryEncodeError error(Kind::listCountTypeOverflow,
                                            "List of " + std::to_string(count) + " entries does not fit the count type " +
                                                std::string(toString(*countType)));
                    error.countType = *countType;
                    error.actualListCount = count;
                    throw error;
                }
                position += ByteCodec<C>::store(static_cast<C>(count), base, position, bigEndian);
            }
        });
        if (value.primitiveType() != declared.valueType()) throw typeMismatch(declared, value);
        std::visit(
            [&](const auto& list) {
                using Value = std::decay_t<decltype(list)>;
                if constexpr (!std::is_arithmetic_v<Value>)
                    position += ByteCodec<typename Value::value_type>::storeArray(list, base, position, bigEndian);
            },
            value.value());
    }
    return position - offset;
}

}  // namespace plykit
