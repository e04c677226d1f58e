#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "JsonDocument.h"

namespace cli {

JsonDocument newObject();
// json-c takes over the value; its length is kept, so data with NUL bytes survives. Bytes that
// belong to no UTF-8 character are written as the text \xNN (utf8Text).
void setText(json_object* object, const char* key, std::string_view text);
void setNumber(json_object* object, const char* key, int64_t number);
// `value` becomes owned by `object`.
void setValue(json_object* object, const char* key, json_object* value);
json_object* newText(std::string_view text);
// One line, spaced, with slashes left as they are ("/dev/i2c-3").
std::string serialise(json_object* document);

}  // namespace cli
