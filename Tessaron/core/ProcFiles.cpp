#include "core/ProcFiles.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>

namespace tessaron::core::procfiles {

namespace {

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::optional<uint64_t> leadingNumber(std::string_view text) {
    uint64_t parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    return parsed;
}

}  // namespace

std::optional<std::string> read(const std::filesystem::path& file) {
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    std::string contents;
    std::array<char, 4096> chunk;
    for (;;) {
        const ssize_t count = ::read(descriptor, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            ::close(descriptor);
            return std::nullopt;
        }
        if (count == 0) break;
        contents.append(chunk.data(), size_t(count));
    }
    ::close(descriptor);
    return contents;
}

std::optional<std::string> value(std::string_view text, std::string_view key, char separator) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const size_t at = line.find(separator);
        if (at == std::string_view::npos || trimmed(line.substr(0, at)) != key) continue;
        const std::string_view found = trimmed(line.substr(at + 1));
        if (!found.empty()) return std::string(found);
    }
    return std::nullopt;
}

std::optional<uint64_t> number(std::string_view text, std::string_view key) {
    const std::optional<std::string> found = value(text, key);
    if (!found) return std::nullopt;
    return leadingNumber(*found);
}

std::vector<uint64_t> leadingNumbers(std::string_view text, size_t limit) {
    std::vector<uint64_t> numbers;
    size_t position = 0;
    while (numbers.size() < limit) {
        position = text.find_first_not_of(' ', position);
        if (position == std::string_view::npos) break;
        uint64_t parsed = 0;
        const char* begin = text.data() + position;
        const auto [end, error] = std::from_chars(begin, text.data() + text.size(), parsed);
        if (error != std::errc() || end == begin) break;
        numbers.push_back(parsed);
        position += size_t(end - begin);
    }
    return numbers;
}

std::optional<StatFields> StatFields::parse(std::string_view statText) {
    const size_t nameEnd = statText.rfind(')');
    if (nameEnd == std::string_view::npos) return std::nullopt;
    StatFields fields;
    std::string_view rest = statText.substr(nameEnd + 1);
    for (;;) {
        const size_t first = rest.find_first_not_of(" \n");
        if (first == std::string_view::npos) break;
        rest.remove_prefix(first);
        const size_t length = std::min(rest.find_first_of(" \n"), rest.size());
        fields.fields_.emplace_back(rest.substr(0, length));
        rest.remove_prefix(length);
    }
    return fields;
}

std::string_view StatFields::operator[](size_t number) const {
    return number >= 3 && number - 3 < fields_.size() ? std::string_view(fields_[number - 3]) : std::string_view();
}

std::optional<int64_t> StatFields::numberAt(size_t number) const {
    const std::string_view field = (*this)[number];
    int64_t parsed = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), parsed);
    if (field.empty() || error != std::errc() || end != field.data() + field.size()) return std::nullopt;
    return parsed;
}

}  // namespace tessaron::core::procfiles
