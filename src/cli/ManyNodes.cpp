#include "ManyNodes.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "ErrorTexts.h"
#include "ExitStatus.h"
#include "Json.h"
#include "NodeOutputText.h"
#include "Parse.h"
#include "Scan.h"

namespace cli {

namespace {

// Every line of `text` begins with the address, so that the lines of several nodes can be told
// apart, and grepped.
std::string labelled(uint8_t address, const std::string& text) {
    std::istringstream lines(text);
    std::string result;
    for (std::string line; std::getline(lines, line);) {
        result += addressText(address) + ": " + line + "\n";
    }
    return result;
}

json_object* addressArray(const std::vector<uint8_t>& addresses) {
    json_object* array = json_object_new_array();
    for (uint8_t address : addresses) {
        json_object_array_add(array, json_object_new_int(address));
    }
    return array;
}

}  // namespace

std::vector<NodePart> nodeParts(const Settings& settings, const std::vector<uint8_t>& addresses,
                                const char* command) {
    std::vector<NodePart> parts(addresses.size());
    for (size_t index = 0; index < addresses.size(); ++index) {
        parts[index].address = addresses[index];
        parts[index].document = nodeDocument(settings.bus, addresses[index], command);
    }
    return parts;
}

NorvaneI2CNode* openNode(const Settings& settings, NodePart& part,
                         std::deque<NorvaneI2CNode>& nodes) {
    NorvaneI2CNode& node = nodes.emplace_back(part.address, settings.bus.c_str());
    if (const std::optional<std::string> fault = channelFault(node, settings.bus, part.address)) {
        failPart(part, kBusUnusable, *fault);
        return nullptr;
    }
    node.replyPollUs = settings.replyPollUs;
    return &node;
}

void failPart(NodePart& part, int code, const std::string& text) {
    setNumber(part.document.get(), "status", code);
    setText(part.document.get(), "error_text", text);
    part.exitStatus = code;
    part.text = "failed, status " + std::to_string(code) + ": " + text + "\n";
}

void echoConsole(uint8_t address, const BusSchedule::Result& result) {
    std::cout << labelled(address, result.console) << std::flush;
}

int reportParts(Console& console, const Settings& settings, const char* command,
                std::vector<NodePart>& parts) {
    const auto firstFailed =
        std::ranges::find_if(parts, [](const NodePart& part) { return part.exitStatus != 0; });
    const int status = firstFailed == parts.end() ? 0 : firstFailed->exitStatus;
    std::string text;
    std::vector<uint8_t> failed;
    json_object* nodes = json_object_new_array();
    for (NodePart& part : parts) {
        text += labelled(part.address, part.text);
        if (part.exitStatus != 0) {
            failed.push_back(part.address);
        }
        json_object_array_add(nodes, part.document.release());
    }
    JsonDocument document = newObject();
    setText(document.get(), "bus", settings.bus);
    setText(document.get(), "command", command);
    setNumber(document.get(), "status", status);
    setValue(document.get(), "nodes", nodes);
    setValue(document.get(), "failed", addressArray(failed));
    console.printDocument(document.get());
    console.print(text);
    std::string failedText;
    for (uint8_t address : failed) {
        failedText += " " + addressText(address);
    }
    if (!failed.empty()) {
        console.error("failed:" + failedText);
    }
    return status;
}

int failCall(Console& console, const Settings& settings, const char* command, int code,
             const std::string& text) {
    JsonDocument document = newObject();
    setText(document.get(), "bus", settings.bus);
    setText(document.get(), "command", command);
    return console.fail(document.get(), "status", code, text);
}

NodeSweep sweepForNodes(const Settings& settings) {
    NodeSweep sweep;
    std::deque<NorvaneI2CNode> nodes;
    BusSchedule schedule;
    std::vector<std::pair<uint8_t, BusSchedule::JobId>> jobs;
    for (unsigned address = kFirstOrdinary; address <= kLastOrdinary; ++address) {
        NorvaneI2CNode& node =
            nodes.emplace_back(static_cast<uint8_t>(address), settings.bus.c_str());
        // Only a bus that cannot be opened at all ends the sweep; an address a driver holds
        // is left out, as a silent one is.
        if (node.master.getError() == MASTER_OPEN_FAILED) {
            sweep.fault = channelFault(node, settings.bus, static_cast<uint8_t>(address));
            return sweep;
        }
        if (node.master.getError() != MASTER_OK) {
            continue;
        }
        node.replyPollUs = settings.replyPollUs;
        jobs.emplace_back(address, schedule.add(node, [](NorvaneI2CNode& asked) {
            std::string vendor, version, board, id;
            return asked.getIdentity(vendor, version, board, id);
        }));
    }
    schedule.run();
    for (const auto& [address, job] : jobs) {
        const BusSchedule::Result& result = schedule.result(job);
        echoConsole(address, result);
        if (result.status == NODE_SUCCESS) {
            sweep.addresses.push_back(address);
        }
    }
    return sweep;
}

std::string sweepQuestion(const std::string& bus) {
    return "This sends the identity command (0xE2) to every address from " +
           addressText(kFirstOrdinary) + " to " + addressText(kLastOrdinary) + " on " + bus +
           ", which a device that is not a node may take as a command. Continue?";
}

int runNodeCommandOnEach(Console& console, const Settings& settings,
                         const std::vector<uint8_t>& addresses, const NodeCommand& command,
                         const std::vector<std::string>& arguments) {
    std::vector<NodePart> parts = nodeParts(settings, addresses, command.name);
    std::vector<NodeOutput> outs(parts.size());
    const Arguments given(arguments);
    // Declared after the nodes, the schedule ends before them.
    std::deque<NorvaneI2CNode> nodes;
    BusSchedule schedule;
    for (size_t index = 0; index < parts.size(); ++index) {
        if (NorvaneI2CNode* node = openNode(settings, parts[index], nodes)) {
            parts[index].job =
                schedule.add(*node, [&command, &given, &out = outs[index]](NorvaneI2CNode& asked) {
                    return command.call(asked, given, out);
                });
        }
    }
    schedule.run();
    eachResult(
        parts, schedule, [&](size_t index, NodePart& part, const BusSchedule::Result& result) {
            if (result.status != NODE_SUCCESS) {
                failPart(part, result.status, nodeStatusText(result.status));
                return;
            }
            setNumber(part.document.get(), "status", result.status);
            setValue(part.document.get(), "result", outputObject(command.fields, outs[index]));
            part.text = outputText(command.fields, outs[index]);
        });
    return reportParts(console, settings, command.name, parts);
}

}  // namespace cli
