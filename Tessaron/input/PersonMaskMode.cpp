#include "input/PersonMaskMode.hpp"

namespace tessaron::input {

const std::vector<PersonMaskMode>& allPersonMaskModes() {
    static const std::vector<PersonMaskMode> modes{PersonMaskMode::off, PersonMaskMode::allPeople,
                                                   PersonMaskMode::operatorOnly};
    return modes;
}

std::string toString(PersonMaskMode mode) {
    switch (mode) {
        case PersonMaskMode::off: return "off";
        case PersonMaskMode::allPeople: return "allPeople";
        case PersonMaskMode::operatorOnly: return "operatorOnly";
    }
    return {};
}

std::optional<PersonMaskMode> personMaskModeFromString(const std::string& rawValue) {
    for (PersonMaskMode mode : allPersonMaskModes())
        if (toString(mode) == rawValue) return mode;
    return std::nullopt;
}

std::string displayName(PersonMaskMode mode) {
    switch (mode) {
        case PersonMaskMode::off: return "Off";
        case PersonMaskMode::allPeople: return "Mask all people";
        case PersonMaskMode::operatorOnly: return "Operator only";
    }
    return {};
}

}  // namespace tessaron::input
