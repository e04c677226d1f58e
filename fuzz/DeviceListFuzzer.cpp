// Hands arbitrary bytes to the board controller as the device API's response
// body and checks what it stores: only code 0 or NODES_CONFIG_PARSE, never
// more devices than the body could describe, and each device's document
// carrying its own id as a string.
#include <json-c/json.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "SBC.h"
#include "ServedBody.h"

namespace {

// The smallest device element, {"id":""}, is 9 bytes.
constexpr size_t kSmallestDevice = 9;

// A path through a file that is not a folder can never exist.
constexpr const char* kAbsentConfigFile = "/dev/null/absent.json";

void checkDevice(const std::string& id, json_object* document) {
    require(document != nullptr, "every stored device has a document");
    json_object* storedId = nullptr;
    require(json_object_object_get_ex(document, "id", &storedId), "a document keeps its id");
    require(json_object_is_type(storedId, json_type_string), "a document's id is a string");
    require(id == std::string(json_object_get_string(storedId),
                              static_cast<size_t>(json_object_get_string_len(storedId))),
            "a document is stored under its own id");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A configuration that cannot be read stops the start-up before the GPIO
    // line and the device API, which this target drives itself.
    SBC board(kAbsentConfigFile);
    board._endpoint = "device-api.invalid";
    board._error = OKEY;

    const std::string body(reinterpret_cast<const char*>(data), size);
    serveBody(reinterpret_cast<const uint8_t*>(body.c_str()), body.size());
    board.fetchDevices();

    require(board._error == OKEY || board._error == NODES_CONFIG_PARSE,
            "a body yields success or NODES_CONFIG_PARSE");
    require(board._devices.size() <= size / kSmallestDevice, "no more devices than the body holds");
    for (const auto& [id, document] : board._devices) {
        require(id.size() <= size, "an id is no longer than the body");
        checkDevice(id, document);
    }
    return 0;
}
