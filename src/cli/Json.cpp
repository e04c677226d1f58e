#include "Json.h"

namespace cli {

JsonDocument newObject() {
    return JsonDocument(json_object_new_object());
}

json_object* newText(std::string_view text) {
    return json_object_new_string_len(text.data(), static_cast<int>(text.size()));
}

void setValue(json_object* object, const char* key, json_object* value) {
    json_object_object_add(object, key, value);
}

void setText(json_object* object, const char* key, std::string_view text) {
    setValue(object, key, newText(text));
}

void setNumber(json_object* object, const char* key, int64_t number) {
    setValue(object, key, json_object_new_int64(number));
}

std::string serialise(json_object* document) {
    return json_object_to_json_string_ext(document,
                                          JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE);
}

}  // namespace cli
