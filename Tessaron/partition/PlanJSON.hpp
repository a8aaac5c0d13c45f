#pragma once

#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tessaron::partition {

// The JSON tree of a partition plan file's text, held to the bounds of
// PartitionPlan (its size, nesting depth and cell count) while the tree is
// built, so that every reader of a plan file refuses the same hostile input.
// With `keys`, only those top-level and per-cell keys enter the tree: a
// reader that needs a few values never builds the rest. Throws
// PartitionPlan::DecodeError.
nlohmann::json parsePlanJSON(std::string_view bytes, const std::set<std::string>* keys = nullptr);

}  // namespace tessaron::partition
