#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "NodeCommands.h"

namespace cli {

// The declared fields of `out` as a JSON object: texts and data exactly as they came.
json_object* outputObject(unsigned fields, const NodeOutput& out);
// The declared fields of `out` for a person, one per line, with control bytes escaped; "ok"
// when the command has none.
std::string outputText(unsigned fields, const NodeOutput& out);
// Lower-case hexadecimal.
std::string hexText(const uint8_t* bytes, size_t length);

}  // namespace cli
