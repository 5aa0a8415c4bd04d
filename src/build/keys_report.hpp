// The engine's key forms of a text, for checking by hand what a name or a
// query word turns into before it meets the sheet's keys.
#pragma once

#include <string>
#include <string_view>

#include "util/result.hpp"

namespace tarnwik::build {

// One JSON object: each key form under its own name, e.g.
// {"normalize": "rue de l eglise"}. Fails on text that is not UTF-8.
Result<std::string> keys_json(std::string_view text);

}  // namespace tarnwik::build
