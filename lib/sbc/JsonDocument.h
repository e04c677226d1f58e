#pragma once

#include <json-c/json.h>

#include <memory>

// Owns one json-c reference and drops it when it goes out of scope.
struct JsonRelease {
    void operator()(json_object* document) const { json_object_put(document); }
};
using JsonDocument = std::unique_ptr<json_object, JsonRelease>;
