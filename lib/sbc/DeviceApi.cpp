#include <curlpp/Easy.hpp>
#include <curlpp/Exception.hpp>
#include <curlpp/Options.hpp>
#include <iostream>
#include <list>
#include <string>

#include "JsonDocument.h"
#include "SBC.h"

namespace {

// A server that accepts and then stalls, or trickles its answer, must not hold the board's
// start-up: each limit ends the transfer as a transport failure.
constexpr long kConnectTimeoutS = 10;
constexpr long kLowSpeedBytesPerS = 1;
constexpr long kLowSpeedTimeS = 30;
constexpr long kTotalTimeoutS = 60;
// A device list is a few kilobytes; anything past this is not one.
constexpr size_t kMaxBodyBytes = 4 * 1024 * 1024;

// Appends to the body until the cap; a piece that would pass it stops the transfer.
class CappedBody {
  public:
    explicit CappedBody(std::string& body) : body_(body) {}

    size_t append(char* data, size_t size, size_t count) {
        const size_t length = size * count;
        if (length > kMaxBodyBytes - body_.size()) {
            tooLarge_ = true;
            return 0;
        }
        body_.append(data, length);
        return length;
    }

    bool tooLarge() const { return tooLarge_; }

  private:
    std::string& body_;
    bool tooLarge_ = false;
};

}  // namespace

void SBC::fetchDevices() {
    std::string body;
    if (requestDeviceList(body)) {
        storeDevices(body);
    }
}

// GET https://<endpoint>/api/v1/device with Accept and x-api-key; the HTTP status is not examined.
// The body goes straight into `body`, never held twice. A transport failure leaves _devices as
// it was.
bool SBC::requestDeviceList(std::string& body) {
    CappedBody received(body);
    try {
        curlpp::Easy request;
        request.setOpt(curlpp::options::Url("https://" + _endpoint + "/api/v1/device"));
        request.setOpt(curlpp::options::HttpHeader(
            std::list<std::string>{"Accept: application/json", "x-api-key: " + _api_key}));
        request.setOpt(curlpp::options::WriteFunction(
            [&received](char* data, size_t size, size_t count) {
                return received.append(data, size, count);
            }));
        request.setOpt(curlpp::options::ConnectTimeout(kConnectTimeoutS));
        request.setOpt(curlpp::options::LowSpeedLimit(kLowSpeedBytesPerS));
        request.setOpt(curlpp::options::LowSpeedTime(kLowSpeedTimeS));
        request.setOpt(curlpp::options::Timeout(kTotalTimeoutS));
        request.perform();
        return true;
    } catch (const curlpp::RuntimeError& e) {
        if (received.tooLarge()) {
            std::cerr << "Runtime error: the device list is larger than " << kMaxBodyBytes
                      << " bytes (4 MiB); check the endpoint in the configuration file"
                      << std::endl;
        } else {
            std::cerr << "Runtime error: " << e.what() << std::endl;
        }
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
