#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessaron::input {

// The user's choice of person masks for 360° crops. Stored by raw value.
enum class PersonMaskMode { off, allPeople, operatorOnly };

const std::vector<PersonMaskMode>& allPersonMaskModes();
std::string toString(PersonMaskMode mode);
std::optional<PersonMaskMode> personMaskModeFromString(const std::string& rawValue);
std::string displayName(PersonMaskMode mode);

}  // namespace tessaron::input
