#pragma once

#include <gpiod.h>
#include <json-c/json.h>

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

class NorvaneI2CNode;

// The build says which libgpiod interface it uses; a program that includes this header without
// that word gets the interface of the gpiod.h it sees (only libgpiod 1 defines the bulk limit).
#ifndef KESTRO_GPIOD_API
#ifdef GPIOD_LINE_BULK_MAX_LINES
#define KESTRO_GPIOD_API 1
#else
#define KESTRO_GPIOD_API 2
#endif
#endif

// The handle of the board's GPIO line. libgpiod 1 has line objects of its own; libgpiod 2 knows
// a line only through a request, so there the handle is the board's own record of the line.
#if KESTRO_GPIOD_API == 2
struct GpiodV2Line;
using GpioLineHandle = GpiodV2Line;
#else
using GpioLineHandle = gpiod_line;
#endif

// The board's error codes; SBC::_error holds the last one set.
enum SbcError : int32_t {
    OKEY = 0,
    CONFIG_FILE = 1,
    SERVER_RESPONSE = 2,
    UNSOLVED_ADDR_CONFLIC = 3,
    GPIOD_CHIP = 4,
    GPIOD_LINE = 5,
    GPIOD_LINE_REQUEST = 6,
    GPIOD_SET = 7,
    NODES_CONFIG_PARSE = 8,
};

// Text of an error code; any value outside the enumeration reads "DEFAULT UNKOWN".
std::string sbcErrorText(int32_t code);

// Bus device path -> ids of the devices whose node answered there with that very id.
using FoundDevices = std::map<std::string, std::set<std::string>>;

// Bus device path -> 7-bit addresses that answered the scan probe.
using ActiveAddresses = std::map<std::string, std::set<uint16_t>>;

// One configured wireless network.
struct Wifi {
    std::string ssid;
    std::string pass;
};

// The board controller. Constructing it brings the board up (configuration, GPIO line, device
// list, node discovery); destroying it drives the line low and releases everything it owns.
//
// The data members are public on purpose: the owner drives the nodes in _nodes directly, and
// the documents in _devices are read by whoever places the nodes. The SBC owns every document
// in _devices and every node in _nodes, which is why it can be neither copied nor moved.
class SBC {
  public:
    explicit SBC(const std::string& configFile);
    ~SBC();

    SBC(const SBC&) = delete;
    SBC& operator=(const SBC&) = delete;
    SBC(SBC&&) = delete;
    SBC& operator=(SBC&&) = delete;

    // Configuration file: reads "endpoint", "api_key" and "wifis"; CONFIG_FILE on any fault.
    void parseConfigFile(std::string path);
    void parseConfigFile(const char* path);

    int32_t getError() const;
    std::string getErrorString() const;

    // GPIO line 7 of chip 0, requested as an output (driven high) under "i2c-kestro-cli".
    void configureGpio(bool flag);
    // Drives the line, then waits one second.
    void setGpio(bool value);
    // Drives the line low, waits one second, closes the chip and deletes every node.
    void releaseResources();

    // One HTTPS GET of the device list; stores each device's document under its id.
    void fetchDevices();

    // Addresses a scan never reports as active, whether or not something answers there.
    static const std::set<uint16_t> reservedI2cAddresses;

    // Probes every address of the board's bus with a send-byte and prints the report.
    ActiveAddresses scanI2cBuses();

    // Asks the node at each device's address for its identity; creates a node in _nodes for
    // every device that answered with its own id and records it in `found`.
    void discoverNodesOnBus(FoundDevices& found, const char* bus);
    // Discovery on the board's bus, then drops (and releases) every device left without a node.
    void discoverNodes();

    // Sets every node's clock to the board's time and reads it back.
    void syncNodeClocks();

    gpiod_chip* _chip;
    GpioLineHandle* _line;
    std::string _endpoint;
    std::string _api_key;
    std::vector<Wifi> _wifis;
    std::map<std::string, json_object*> _devices;
    std::map<std::string, std::map<std::string, NorvaneI2CNode*>> _nodes;
    int32_t _error;

  private:
    void bringUp(const std::string& configFile);

    json_object* readConfigDocument(const std::string& path);
    bool readConfigString(json_object* config, const char* key, std::string& target);
    bool readWifis(json_object* config);
    bool readWifi(json_object* entry);
    void rejectConfig(const char* message);

    void reportGpioFault(const char* what, int errorNumber);
    void driveLine(int value);
    void closeGpio();
    void deleteNodes();

    bool requestDeviceList(std::string& body);
    void storeDevices(const std::string& body);
    bool storeDevice(json_object* element);
    void replaceDevice(const std::string& id, json_object* document);
    void clearDevices();

    bool readDeviceAddress(json_object* document, uint8_t& address);
    void createNodes(std::set<std::string>& ids, const char* bus);
    bool storeNode(const std::string& bus, const std::string& id, uint8_t address);
    bool hasNode(const std::string& id);
    void pruneDevices();

    void syncNodeClock(const std::string& bus, const std::string& id, NorvaneI2CNode& node);
};

std::ostream& operator<<(std::ostream& os, const SBC& sbc);

// The address discovery probes for a device document: the low 8 bits of "config" -> "addr";
// nothing when the document has none.
std::optional<uint8_t> deviceAddress(json_object* document);

// Writes a JSON value as an indented tree on standard output; top-level calls pass indent 0.
void printJson(json_object* value, int indent, bool indentFirst, std::string title);
