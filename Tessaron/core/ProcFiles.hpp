#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reading the kernel's small text files: /proc/meminfo, /proc/<pid>/status
// and stat, /proc/cpuinfo, /sys device files. One reader for all of them, so
// that each file's quirks (a size of 0, keys padded with tabs, a command name
// holding blanks) are handled once.
namespace tessaron::core::procfiles {

// The whole file, or nothing when it cannot be read (a process that has
// gone, a file that is not ours to read). Files of the kernel report no
// size, so it is read until its end.
std::optional<std::string> read(const std::filesystem::path& file);

// The value of the first "key: value" line (or "KEY=value" with '=') whose
// key is `key` and whose value is not empty, blanks around either trimmed.
std::optional<std::string> value(std::string_view text, std::string_view key, char separator = ':');

// The whole number that value() starts with ("16384 kB" gives 16384);
// nothing when it has none or it overflows.
std::optional<uint64_t> number(std::string_view text, std::string_view key);

// The whole numbers that start `text`, separated by blanks, up to `limit`
// of them; stops at the first field that is not one.
std::vector<uint64_t> leadingNumbers(std::string_view text, size_t limit);

// The fields of a /proc/<pid>/stat text, numbered from 1 as the kernel's
// manual numbers them (field 1: the pid, 2: the command name with its
// parentheses, 3: the state); nothing when the text has no command name.
// The name may hold blanks and parentheses, so it ends at the last ')'.
class StatFields {
public:
    static std::optional<StatFields> parse(std::string_view statText);
    // Field `number`, empty beyond the last.
    std::string_view operator[](size_t number) const;
    // Field `number` as a whole number; nothing when it is not one.
    std::optional<int64_t> numberAt(size_t number) const;

private:
    std::vector<std::string> fields_;  // from field 3 on
};

}  // namespace tessaron::core::procfiles
