#include "Json.h"

#include "PrintableText.h"

namespace cli {

JsonDocument newObject() {
    return JsonDocument(json_object_new_object());
}

// json-c would copy bytes outside UTF-8 into the document as they are, and a JSON parser
// rejects the document then.
json_object* newText(std::string_view text) {
    const std::string utf8 = utf8Text(text);
    return json_object_new_string_len(utf8.data(), static_cast<int>(utf8.size()));
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
