#include <iostream>

#include "PrintableText.h"
#include "SBC.h"

std::ostream& operator<<(std::ostream& os, const SBC& sbc) {
    os << "SBC << overload " << std::endl;
    os << "_endpoint: " << sbc._endpoint << "\n_api_key: " << sbc._api_key << "\n_wifis"
       << std::endl;
    for (const Wifi& wifi : sbc._wifis) {
        os << "\tssid: " << wifi.ssid << " pass: " << wifi.pass << std::endl;
    }
    os << "SBC devices " << std::endl;
    for (const auto& [id, document] : sbc._devices) {
        os << "\tid: " << printableText(id) << "\n\t\tjson: " << json_object_to_json_string(document) << std::endl;
    }
    return os;
}

namespace {

std::string blanks(int count) {
    return std::string(static_cast<size_t>(count), ' ');
}

void printArray(json_object* array, int indent) {
    std::cout << "arr : "
              << "[\n";
    const size_t count = json_object_array_length(array);
    for (size_t i = 0; i < count; ++i) {
        printJson(json_object_array_get_idx(array, i), indent + 2, true, "");
        std::cout << ",\n";
    }
    std::cout << blanks(indent) << "]";
    if (indent == 0) {
        std::cout << std::endl;
    }
}

void printObject(json_object* object, int indent, const std::string& lead,
                 const std::string& title) {
    std::cout << lead << "{" << std::endl;
    json_object_object_foreach(object, key, member) {
        std::cout << blanks(indent + 1) << "obj : \"" << printableText(key) << "\": ";
        printJson(member, indent + 2, false, "");
        std::cout << ",\n";
    }
    std::cout << lead << "}";
    if (indent == 0) {
        std::cout << std::endl;
    }
    if (!title.empty()) {
        std::cout << title << "--END---------------------" << std::endl;
    }
}

}  // namespace

void printJson(json_object* value, int indent, bool indentFirst, std::string title) {
    const std::string lead = indentFirst ? blanks(indent) : "";
    if (!title.empty()) {
        std::cout << title << "--START---------------------" << std::endl;
    }
    switch (json_object_get_type(value)) {
        case json_type_null:
            std::cout << lead << "NULL: ";
            break;
        case json_type_boolean:
            std::cout << lead << "bool: " << (json_object_get_boolean(value) ? 1 : 0);
            break;
        case json_type_double:
            std::cout << lead << "doub: " << json_object_get_double(value);
            break;
        case json_type_int:
            std::cout << lead << "int : " << json_object_get_int(value);
            break;
        case json_type_string:
            std::cout << lead << "str : "
                      << printableText({json_object_get_string(value),
                                        static_cast<size_t>(json_object_get_string_len(value))});
            break;
        case json_type_array:
            printArray(value, indent);
            break;
        case json_type_object:
            printObject(value, indent, lead, title);
            break;
        default:
            std::cout << "unknown:";
            break;
    }
}
