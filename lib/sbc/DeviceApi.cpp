#include <curlpp/Easy.hpp>
#include <curlpp/Exception.hpp>
#include <curlpp/Options.hpp>
#include <iostream>
#include <list>
#include <sstream>

#include "JsonDocument.h"
#include "SBC.h"

void SBC::fetchDevices() {
    std::string body;
    if (requestDeviceList(body)) {
        storeDevices(body);
    }
}

// GET https://<endpoint>/api/v1/device with Accept and x-api-key; the HTTP status is not examined.
// A transport failure leaves _devices as it was.
bool SBC::requestDeviceList(std::string& body) {
    try {
        std::ostringstream received;
        curlpp::Easy request;
        request.setOpt(curlpp::options::Url("https://" + _endpoint + "/api/v1/device"));
        request.setOpt(curlpp::options::HttpHeader(
            std::list<std::string>{"Accept: application/json", "x-api-key: " + _api_key}));
        request.setOpt(curlpp::options::WriteStream(&received));
        request.perform();
        body = received.str();
        return true;
    } catch (const curlpp::RuntimeError& e) {
        std::cerr << "Runtime error: " << e.what() << std::endl;
    } catch (const curlpp::LogicError& e) {
        std::cerr << "Logic error: " << e.what() << std::endl;
    }
    _error = SERVER_RESPONSE;
    return false;
}

// Stored from the last element to the first, so of two elements sharing an id the earlier one
// stays. A bad element stops the walk and keeps what was stored after it.
void SBC::storeDevices(const std::string& body) {
    clearDevices();
    JsonDocument list(json_tokener_parse(body.c_str()));
    if (!json_object_is_type(list.get(), json_type_array)) {
        _error = NODES_CONFIG_PARSE;
        return;
    }
    for (size_t i = json_object_array_length(list.get()); i > 0; --i) {
        if (!storeDevice(json_object_array_get_idx(list.get(), i - 1))) {
            _error = NODES_CONFIG_PARSE;
            return;
        }
    }
}

bool SBC::storeDevice(json_object* element) {
    json_object* id = nullptr;
    if (!json_object_object_get_ex(element, "id", &id) ||
        !json_object_is_type(id, json_type_string)) {
        return false;
    }
    const std::string key(json_object_get_string(id), json_object_get_string_len(id));
    replaceDevice(key, nullptr);
    json_object* copy = nullptr;
    if (json_object_deep_copy(element, &copy, nullptr) != 0) {
        return false;
    }
    _devices[key] = copy;
    return true;
}

void SBC::replaceDevice(const std::string& id, json_object* document) {
    json_object*& slot = _devices[id];
    json_object_put(slot);
    slot = document;
}

void SBC::clearDevices() {
    for (auto& [id, document] : _devices) {
        json_object_put(document);
    }
    _devices.clear();
}
