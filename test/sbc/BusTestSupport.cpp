#include "BusTestSupport.h"

#include <sstream>

#include "BoardTestSupport.h"

std::vector<std::string> linesStartingWith(const std::string& text,
                                           std::initializer_list<const char*> prefixes) {
    std::vector<std::string> picked;
    for (const std::string& line : linesOf(text)) {
        for (const char* prefix : prefixes) {
            if (line.rfind(prefix, 0) == 0) {
                picked.push_back(line);
                break;
            }
        }
    }
    return picked;
}

json_object* deviceDocument(const std::string& id, int address) {
    json_object* config = json_object_new_object();
    json_object_object_add(config, "addr", json_object_new_int(address));
    json_object* document = json_object_new_object();
    json_object_object_add(document, "id", json_object_new_string(id.c_str()));
    json_object_object_add(document, "config", config);
    return document;
}

std::string streamed(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}
