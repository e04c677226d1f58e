#include "Board.h"

#include <array>
#include <memory>
#include <optional>

#include "ErrorTexts.h"
#include "ExitStatus.h"
#include "Json.h"
#include "NodeCommands.h"
#include "Parse.h"
#include "PrintableText.h"
#include "SBC.h"
#include "Scan.h"

namespace cli {

namespace {

// The start-up sequence, in the order the board runs it.
enum StepIndex { kConfig, kGpio, kDeviceList, kLineHigh, kDiscovery, kStepCount };
constexpr std::array<const char*, kStepCount> kStepNames = {
    "read configuration", "configure GPIO line", "fetch device list", "drive line high",
    "discover nodes"};

struct Step {
    const char* result = "done";
    std::string text;
};
using Steps = std::array<Step, kStepCount>;

// The step that leaves each error code; the sequence stops right after it.
StepIndex failedStep(int32_t error) {
    switch (error) {
        case CONFIG_FILE:
            return kConfig;
        case GPIOD_CHIP:
        case GPIOD_LINE:
        case GPIOD_LINE_REQUEST:
            return kGpio;
        case SERVER_RESPONSE:
        case NODES_CONFIG_PARSE:
            return kDeviceList;
        default:
            return kDiscovery;
    }
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "; ") + printableText(line);
    }
    return text;
}

// A fetch that could not reach the API and a failed line set leave no code: the sequence goes
// on, and only their messages tell.
void markSilentFailures(const std::vector<std::string>& lines, Steps& steps) {
    for (const std::string& line : lines) {
        const bool transport =
            line.starts_with("Runtime error: ") || line.starts_with("Logic error: ");
        const StepIndex index = transport ? kDeviceList : kLineHigh;
        if (transport || line.starts_with("Error!")) {
            steps[index].result = "failed";
            steps[index].text += (steps[index].text.empty() ? "" : "; ") + printableText(line);
        }
    }
}

Steps stepOutcomes(int32_t error, const std::vector<std::string>& lines) {
    Steps steps;
    if (error == OKEY) {
        markSilentFailures(lines, steps);
        return steps;
    }
    const StepIndex failed = failedStep(error);
    steps[failed] = {"failed", sbcErrorText(error) + (lines.empty() ? "" : ": " + joined(lines))};
    for (int later = failed + 1; later < kStepCount; ++later) {
        steps[later] = {"skipped", ""};
    }
    return steps;
}

json_object* stepArray(const Steps& steps) {
    json_object* array = json_object_new_array();
    for (int index = 0; index < kStepCount; ++index) {
        json_object* step = json_object_new_object();
        setText(step, "step", kStepNames[index]);
        setText(step, "result", steps[index].result);
        if (!steps[index].text.empty()) {
            setText(step, "error_text", steps[index].text);
        }
        json_object_array_add(array, step);
    }
    return array;
}

std::string stepsText(const Steps& steps) {
    std::string text;
    for (int index = 0; index < kStepCount; ++index) {
        char line[64];
        std::snprintf(line, sizeof line, "  %-20s %s", kStepNames[index], steps[index].result);
        text += line + (steps[index].text.empty() ? "" : ": " + steps[index].text) + "\n";
    }
    return text;
}

// The device list as the API gives it: discovery has dropped the devices it did not find.
void addDevices(SBC& board, json_object* document, std::string& text) {
    board.fetchDevices();
    json_object* devices = json_object_new_array();
    text += "devices listed by the API:\n";
    for (const auto& [id, entry] : board._devices) {
        json_object* device = json_object_new_object();
        setText(device, "id", id);
        const std::optional<uint8_t> address = deviceAddress(entry);
        setValue(device, "address",
                 address ? json_object_new_int(static_cast<int>(*address)) : nullptr);
        json_object_array_add(devices, device);
        text += "  " + printableText(id) + " at " +
                (address ? addressText(*address) : "(no address)") + "\n";
    }
    setValue(document, "devices", devices);
}

void addNodes(SBC& board, json_object* document, std::string& text) {
    json_object* nodes = json_object_new_array();
    text += "nodes found:\n";
    for (const auto& [bus, byId] : board._nodes) {
        for (const auto& [id, node] : byId) {
            if (node == nullptr) {
                continue;
            }
            json_object* entry = json_object_new_object();
            setText(entry, "bus", bus);
            setNumber(entry, "address", node->addr);
            setText(entry, "id", id);
            json_object_array_add(nodes, entry);
            text += "  " + bus + " " + addressText(node->addr) + " " + printableText(id) + "\n";
        }
    }
    setValue(document, "nodes", nodes);
}

void addClocks(SBC& board, json_object* document, std::string& text) {
    json_object* clocks = json_object_new_array();
    text += "clocks:\n";
    for (const auto& [bus, byId] : board._nodes) {
        for (const auto& [id, node] : byId) {
            if (node == nullptr) {
                continue;
            }
            uint64_t readBack = 0;
            const int32_t status = syncClock(*node, readBack);
            json_object* entry = json_object_new_object();
            setText(entry, "id", id);
            setNumber(entry, "status", status);
            if (status == NODE_SUCCESS) {
                setValue(entry, "value", json_object_new_uint64(readBack));
            }
            json_object_array_add(clocks, entry);
            text += "  " + printableText(id) + ": " +
                    (status == NODE_SUCCESS ? std::to_string(readBack) + " ms"
                                            : "failed, " + nodeStatusText(status)) +
                    "\n";
        }
    }
    setValue(document, "clocks", clocks);
}

void addScanOf(const std::string& bus, json_object* document, std::string& text) {
    const ScanResult result = scanBus(bus, false);
    JsonDocument scan = newObject();
    addScan(scan.get(), result);
    if (result.openError != 0) {
        setText(scan.get(), "error_text", busOpenText(bus, result.openError));
        text += "scan of " + bus + ": " + busOpenText(bus, result.openError) + "\n";
    } else {
        text += "scan of " + bus + ":\n" + scanGrid(result);
    }
    setValue(document, "scan", scan.release());
}

// The board's messages are caught while it lives and end up in the report of the step that
// wrote them. The board is released (line low, nodes closed) before this returns.
int32_t bringUpAndRelease(const Settings& settings, const BoardOptions& options,
                          json_object* document, std::string& text) {
    LibraryErrors libraryErrors;
    SBC board(options.config);
    const int32_t error = board.getError();
    const Steps steps = stepOutcomes(error, libraryErrors.lines());
    setText(document, "config", options.config);
    setNumber(document, "error", error);
    setText(document, "error_text",
            error == OKEY ? sbcErrorText(error) : steps[failedStep(error)].text);
    setValue(document, "steps", stepArray(steps));
    text += stepsText(steps);
    if (error == OKEY || error == UNSOLVED_ADDR_CONFLIC) {
        addDevices(board, document, text);
        addNodes(board, document, text);
    }
    if (options.syncClocks && error == OKEY) {
        addClocks(board, document, text);
    }
    if (options.scan && error == OKEY) {
        addScanOf(settings.bus, document, text);
    }
    return error;
}

}  // namespace

int runBoard(Console& console, const Settings& settings, const BoardOptions& options) {
    JsonDocument document = newObject();
    if (options.scan && !settings.yes && !console.confirm(scanQuestion(settings.bus, false))) {
        return console.fail(document.get(), "error", kNotConfirmed, kNotConfirmedText);
    }
    std::string text = "board " + options.config + "\n";
    const int32_t error = bringUpAndRelease(settings, options, document.get(), text);
    console.printDocument(document.get());
    console.print(text);
    if (error != OKEY) {
        console.error("board start-up failed: " + boardErrorHint(error));
    }
    return error;
}

std::string boardErrorHint(int32_t error) {
    const std::string name = sbcErrorText(error);
    switch (error) {
        case CONFIG_FILE:
            return name + ": check the configuration file given with --config";
        case GPIOD_CHIP:
            return name + ": no GPIO chip 0 (is this the board, and is its GPIO driver loaded?)";
        case GPIOD_LINE:
        case GPIOD_LINE_REQUEST:
            return name + ": GPIO line 7 cannot be had (another program may hold it; see gpioinfo)";
        case SERVER_RESPONSE:
            return name + ": the device API cannot be reached (check \"endpoint\" and the network)";
        case NODES_CONFIG_PARSE:
            return name + ": the device API's answer is not a device list (check \"endpoint\")";
        case UNSOLVED_ADDR_CONFLIC:
            return name + ": a device document from the API lacks config.addr";
        default:
            return name;
    }
}

}  // namespace cli
