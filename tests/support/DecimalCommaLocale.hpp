#pragma once

#include "support/TempDir.hpp"

namespace tessaron::testing {

// Puts a numeric locale with a decimal comma in force (LC_NUMERIC): the
// system's German one when compiled, else a minimal one made with localedef
// into `folder`. False when neither can be had. The caller restores "C".
bool useDecimalCommaLocale(const TempDir& folder);

}  // namespace tessaron::testing
