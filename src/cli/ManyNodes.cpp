#include "ManyNodes.h"

#include <algorithm>
#include <sstream>

#include "ErrorTexts.h"
#include "ExitStatus.h"
#include "Json.h"
#include "NodeOutputText.h"
#include "Parse.h"
#include "Scan.h"

namespace cli {

namespace {

json_object* addressArray(const std::vector<uint8_t>& addresses) {
    json_object* array = json_object_new_array();
    for (uint8_t address : addresses) {
        json_object_array_add(array, json_object_new_int(address));
    }
    return array;
}

}  // namespace

std::string labelled(uint8_t address, const std::string& text) {
    std::istringstream lines(text);
    std::string result;
    for (std::string line; std::getline(lines, line);) {
        result += addressText(address) + ": " + line + "\n";
    }
    return result;
}

void failPart(NodePart& part, int code, const std::string& text) {
    setNumber(part.document.get(), "status", code);
    setText(part.document.get(), "error_text", text);
    part.exitStatus = code;
    part.fault = text;
    part.text = "failed, status " + std::to_string(code) + ": " + text + "\n";
}

NodeProvider ownNodes(const std::string& bus, std::deque<NorvaneI2CNode>& nodes) {
    return [bus, &nodes](uint8_t address, std::string& fault) -> NorvaneI2CNode* {
        NorvaneI2CNode& node = nodes.emplace_back(address, bus.c_str());
        if (const std::optional<std::string> why = channelFault(node, bus, address)) {
            fault = *why;
            return nullptr;
        }
        return &node;
    };
}

CallOnNodes::CallOnNodes(const Settings& settings, const std::vector<uint8_t>& addresses,
                         bool several, const char* command)
    : _settings(settings), _parts(addresses.size()), _several(several), _command(command) {
    for (size_t index = 0; index < addresses.size(); ++index) {
        _parts[index].address = addresses[index];
        _parts[index].document = nodeDocument(settings.bus, addresses[index], command);
    }
}

void CallOnNodes::queue(BusSchedule& schedule, const NodeProvider& nodes) {
    const BusSchedule::JobOptions options{_settings.replyPollUs};
    for (size_t index = 0; index < _parts.size(); ++index) {
        NodePart& part = _parts[index];
        std::optional<BusSchedule::Operation> operation = this->operation(index, part);
        if (!operation) {
            continue;
        }
        std::string fault;
        if (NorvaneI2CNode* node = nodes(part.address, fault)) {
            part.job = schedule.add(*node, std::move(*operation), options);
        } else {
            failPart(part, kBusUnusable, fault);
        }
    }
}

void CallOnNodes::releaseResults(BusSchedule& schedule) const {
    for (const NodePart& part : _parts) {
        if (part.job) {
            schedule.release(*part.job);
        }
    }
}

bool CallOnNodes::ended(const BusSchedule& schedule) const {
    return std::ranges::all_of(_parts, [&schedule](const NodePart& part) {
        return !part.job || schedule.result(*part.job).done;
    });
}

bool CallOnNodes::succeeded(const BusSchedule& schedule) const {
    return std::ranges::all_of(_parts, [&schedule](const NodePart& part) {
        return !part.job || schedule.result(*part.job).status == NODE_SUCCESS;
    });
}

JsonDocument CallOnNodes::progress() const {
    return JsonDocument(json_object_new_array());
}

int CallOnNodes::report(Console& console, const BusSchedule& schedule) {
    for (size_t index = 0; index < _parts.size(); ++index) {
        NodePart& part = _parts[index];
        if (!part.job) {
            continue;
        }
        const BusSchedule::Result& result = schedule.result(*part.job);
        console.libraryLines(_several ? labelled(part.address, result.console) : result.console);
        note(index, part, result);
    }
    return _several ? reportSeveral(console) : reportOne(console);
}

int CallOnNodes::reportOne(Console& console) {
    NodePart& part = _parts.front();
    if (part.exitStatus != 0) {
        return console.fail(part.document.get(), "status", part.exitStatus, part.fault);
    }
    console.printDocument(part.document.get());
    console.print(part.text);
    return 0;
}

int CallOnNodes::reportSeveral(Console& console) {
    const auto firstFailed =
        std::ranges::find_if(_parts, [](const NodePart& part) { return part.exitStatus != 0; });
    const int status = firstFailed == _parts.end() ? 0 : firstFailed->exitStatus;
    std::string text;
    std::vector<uint8_t> failed;
    json_object* nodes = json_object_new_array();
    for (NodePart& part : _parts) {
        text += labelled(part.address, part.text);
        if (part.exitStatus != 0) {
            failed.push_back(part.address);
        }
        json_object_array_add(nodes, json_object_get(part.document.get()));
    }
    JsonDocument document = newObject();
    setText(document.get(), "bus", _settings.bus);
    setText(document.get(), "command", _command);
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

int runCall(Console& console, CallOnNodes& call) {
    // Declared after the nodes, the schedule ends before them.
    std::deque<NorvaneI2CNode> nodes;
    BusSchedule schedule;
    call.queue(schedule, ownNodes(call.bus(), nodes));
    schedule.run();
    return call.report(console, schedule);
}

int failCall(Console& console, const Settings& settings, const char* command, int code,
             const std::string& text) {
    JsonDocument document = newObject();
    setText(document.get(), "bus", settings.bus);
    setText(document.get(), "command", command);
    return console.fail(document.get(), "status", code, text);
}

IdentitySweep::IdentitySweep(BusSchedule& schedule, const NodeProvider& nodes,
                             uint32_t replyPollUs) {
    std::string firstFault;
    for (unsigned address = kFirstOrdinary; address <= kLastOrdinary; ++address) {
        std::string fault;
        NorvaneI2CNode* node = nodes(static_cast<uint8_t>(address), fault);
        if (node == nullptr) {
            firstFault = firstFault.empty() ? fault : firstFault;
            continue;
        }
        node->replyPollUs = replyPollUs;
        _jobs.emplace_back(address, schedule.add(*node, [](NorvaneI2CNode& asked) {
            std::string vendor, version, board, id;
            return asked.getIdentity(vendor, version, board, id);
        }));
    }
    _fault = _jobs.empty() ? firstFault : "";
}

bool IdentitySweep::ended(const BusSchedule& schedule) const {
    return std::ranges::all_of(
        _jobs, [&schedule](const auto& entry) { return schedule.result(entry.second).done; });
}

std::vector<uint8_t> IdentitySweep::answered(BusSchedule& schedule, std::string& lines) {
    std::vector<uint8_t> addresses;
    for (const auto& [address, job] : _jobs) {
        const BusSchedule::Result& result = schedule.result(job);
        lines += labelled(address, result.console);
        if (result.status == NODE_SUCCESS) {
            addresses.push_back(address);
        }
        schedule.release(job);
    }
    _jobs.clear();
    return addresses;
}

NodeSweep sweepForNodes(Console& console, const Settings& settings) {
    std::deque<NorvaneI2CNode> nodes;
    BusSchedule schedule;
    IdentitySweep sweep(schedule, ownNodes(settings.bus, nodes), settings.replyPollUs);
    schedule.run();
    std::string lines;
    NodeSweep result{sweep.answered(schedule, lines), std::nullopt};
    console.libraryLines(lines);
    if (!sweep.fault().empty()) {
        result.fault = sweep.fault();
    }
    return result;
}

std::string sweepQuestion(const std::string& bus) {
    return "This sends the identity command (0xE2) to every address from " +
           addressText(kFirstOrdinary) + " to " + addressText(kLastOrdinary) + " on " + bus +
           ", which a device that is not a node may take as a command. Continue?";
}

namespace {

class NodeCommandCall : public CallOnNodes {
  public:
    NodeCommandCall(const Settings& settings, const std::vector<uint8_t>& addresses, bool several,
                    const NodeCommand& command, const std::vector<std::string>& arguments)
        : CallOnNodes(settings, addresses, several, command.name),
          _command(command),
          _given(arguments),
          _outs(addresses.size()) {}

  private:
    std::optional<BusSchedule::Operation> operation(size_t index, NodePart&) override {
        return [this, index](NorvaneI2CNode& asked) {
            return _command.call(asked, _given, _outs[index]);
        };
    }

    void note(size_t index, NodePart& part, const BusSchedule::Result& result) override {
        if (result.status != NODE_SUCCESS) {
            failPart(part, result.status, nodeStatusText(result.status));
            return;
        }
        setNumber(part.document.get(), "status", result.status);
        setValue(part.document.get(), "result", outputObject(_command.fields, _outs[index]));
        part.text = outputText(_command.fields, _outs[index]);
    }

    const NodeCommand& _command;
    const Arguments _given;
    std::vector<NodeOutput> _outs;
};

}  // namespace

std::unique_ptr<CallOnNodes> nodeCommandCall(const Settings& settings,
                                             const std::vector<uint8_t>& addresses, bool several,
                                             const NodeCommand& command,
                                             const std::vector<std::string>& arguments) {
    return std::make_unique<NodeCommandCall>(settings, addresses, several, command, arguments);
}

}  // namespace cli
