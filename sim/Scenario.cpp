#include "Scenario.h"

#include "Firmware.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace sim {

namespace {

constexpr int kVersion = 1;

struct JsonRelease {
    void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonRelease>;

std::string hexByte(int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%02llX", static_cast<long long>(value));
    return text;
}

// Keys and texts quoted in a complaint keep it on one line: control bytes
// are written \xNN.
std::string oneLine(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += byte < 0x20 || byte == 0x7F ? std::string(escaped) : std::string(1, c);
    }
    return out;
}

// A value of the scenario and the key path that leads to it, so that every
// complaint can say where it is.
class Field {
  public:
    Field(json_object* value, std::string path) : value_(value), path_(std::move(path)) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw ScenarioError(
            oneLine((path_.empty() ? std::string("scenario") : path_) + ": " + what));
    }

    bool is(json_type type) const { return json_object_is_type(value_, type); }
    json_object* json() const { return value_; }

    // Fails on any key of this object not in `known`.
    void allowOnly(std::initializer_list<const char*> known) const {
        expect(json_type_object, "an object");
        json_object_object_foreach(value_, key, child) {
            (void)child;
            bool found = false;
            for (const char* name : known) found = found || std::strcmp(name, key) == 0;
            if (!found) Field(child, keyPath(key)).fail("unknown key");
        }
    }

    std::optional<Field> optional(const char* key) const {
        json_object* child = nullptr;
        if (!json_object_object_get_ex(value_, key, &child)) return std::nullopt;
        return Field(child, keyPath(key));
    }
    Field required(const char* key) const {
        std::optional<Field> found = optional(key);
        if (!found) fail("missing key \"" + std::string(key) + "\"");
        return *found;
    }
    // An entry of a map keyed by free text (bus paths, file names, ...).
    Field member(const std::string& key) const {
        json_object* child = nullptr;
        json_object_object_get_ex(value_, key.c_str(), &child);
        return Field(child, path_ + "[\"" + key + "\"]");
    }

    void forEach(const std::function<void(const Field&)>& visit) const {
        expect(json_type_array, "an array");
        for (std::size_t i = 0; i < json_object_array_length(value_); ++i) {
            visit(Field(json_object_array_get_idx(value_, i), path_ + "[" + std::to_string(i) + "]"));
        }
    }
    void forEachMember(const std::function<void(const std::string&, const Field&)>& visit) const {
        expect(json_type_object, "an object");
        json_object_object_foreach(value_, key, child) {
            (void)child;
            visit(key, member(key));
        }
    }

    std::string text() const {
        expect(json_type_string, "a string");
        return std::string(json_object_get_string(value_),
                           static_cast<std::size_t>(json_object_get_string_len(value_)));
    }
    bool boolean() const {
        expect(json_type_boolean, "true or false");
        return json_object_get_boolean(value_) != 0;
    }
    double number() const {
        if (!is(json_type_double) && !is(json_type_int)) fail("must be a number");
        return json_object_get_double(value_);
    }
    // An integer given as a JSON number or as a text such as "0x10".
    int64_t integer() const {
        if (is(json_type_int)) return json_object_get_int64(value_);
        if (!is(json_type_string)) fail("must be an integer or a text such as \"0x10\"");
        const std::string word = text();
        errno = 0;
        char* end = nullptr;
        const long long value = std::strtoll(word.c_str(), &end, 0);
        if (word.empty() || *end != '\0' || errno != 0) fail("\"" + word + "\" is not an integer");
        return value;
    }
    int64_t integerIn(int64_t least, int64_t most) const {
        const int64_t value = integer();
        if (value < least || value > most) {
            fail(std::to_string(value) + " is outside " + std::to_string(least) + ".." +
                 std::to_string(most));
        }
        return value;
    }
    uint8_t address() const {
        const int64_t value = integer();
        if (value < 0 || value > 0x7F) fail(hexByte(value) + " is not a 7-bit address");
        return static_cast<uint8_t>(value);
    }
    uint8_t byte() const {
        const int64_t value = integer();
        if (value < 0 || value > 0xFF) fail(std::to_string(value) + " is not a byte");
        return static_cast<uint8_t>(value);
    }
    // An errno given by its name, e.g. "EIO".
    int errorNumber() const {
        const std::string name = text();
        for (int error = 1; error < 200; ++error) {
            const char* known = strerrorname_np(error);
            if (known != nullptr && name == known) return error;
        }
        fail("\"" + name + "\" is not an errno name such as \"EIO\"");
    }

  private:
    std::string keyPath(const char* key) const { return path_.empty() ? key : path_ + "." + key; }
    void expect(json_type type, const char* what) const {
        if (!is(type)) fail(std::string("must be ") + what);
    }

    json_object* value_;
    std::string path_;
};

// The value of a base64 letter, or -1 for anything else.
int base64Value(char letter) {
    if (letter >= 'A' && letter <= 'Z') return letter - 'A';
    if (letter >= 'a' && letter <= 'z') return letter - 'a' + 26;
    if (letter >= '0' && letter <= '9') return letter - '0' + 52;
    if (letter == '+') return 62;
    return letter == '/' ? 63 : -1;
}

// Standard base64 in groups of four letters, "=" padding only at the end; line breaks and
// blanks anywhere are skipped.
std::optional<Bytes> base64Bytes(const std::string& text) {
    Bytes out;
    uint32_t group = 0;
    std::size_t letters = 0;
    std::size_t padding = 0;
    for (char letter : text) {
        if (letter == ' ' || letter == '\t' || letter == '\r' || letter == '\n') continue;
        const int value = base64Value(letter);
        if (letter == '=' ? ++padding > 2 : value < 0 || padding > 0) return std::nullopt;
        group = group << 6 | uint32_t(value < 0 ? 0 : value);
        if (++letters % 4 != 0) continue;
        for (std::size_t byte = 0; byte < 3 - padding; ++byte) out.push_back(uint8_t(group >> (16 - 8 * byte)));
        group = 0;
    }
    if (letters % 4 != 0) return std::nullopt;
    return out;
}

Bytes base64Decoded(const Field& field) {
    std::optional<Bytes> bytes = base64Bytes(field.text());
    if (!bytes) field.fail("is not valid base64");
    return std::move(*bytes);
}

// What a "path" may name: a regular file inside the scenario's folder (after
// symbolic links are followed) of at most `limit` bytes. Anything else (a
// system file, a FIFO that would block, a device that never ends) is refused.
class ContentSource {
  public:
    ContentSource(std::filesystem::path folder, uint32_t limit)
        : folder_(std::move(folder)), limit_(limit) {}

    Bytes read(const Field& field) const {
        const std::string name = field.text();
        std::error_code error;
        const std::filesystem::path base = std::filesystem::canonical(folder_, error);
        const std::filesystem::path resolved =
            error ? base : std::filesystem::canonical(base / name, error);
        if (error) field.fail("cannot read " + name + " (" + error.message() + ")");
        if (std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end()).first !=
            base.end()) {
            field.fail(name + " is outside the scenario's folder");
        }
        const int fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0) field.fail("cannot read " + name + " (" + std::strerror(errno) + ")");
        Bytes content;
        const std::string problem = readRegular(fd, content);
        ::close(fd);
        if (!problem.empty()) field.fail(name + problem);
        return content;
    }

  private:
    // Empty when all of it was read, else what is wrong.
    std::string readRegular(int fd, Bytes& content) const {
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return " is not a regular file";
        if (static_cast<uint64_t>(info.st_size) > limit_) {
            return " is larger than max_file_size (" + std::to_string(limit_) + " bytes)";
        }
        content.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t got = ::read(fd, content.data() + done, content.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return std::string(" cannot be read (") + std::strerror(errno) + ")";
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        content.resize(done);
        return "";
    }

    std::filesystem::path folder_;
    uint32_t limit_;
};

// The node firmwares a scenario names, each opened once for all its nodes.
class FirmwareSource {
  public:
    explicit FirmwareSource(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // The shared object at the field's path, relative to the scenario's folder or absolute.
    std::shared_ptr<const Firmware> load(const Field& field) {
        const std::string path =
            std::filesystem::absolute(folder_ / field.text()).lexically_normal().string();
        auto& slot = loaded_[path];
        try {
            if (!slot) slot = Firmware::load(path);
        } catch (const FirmwareError& e) {
            field.fail(e.what());
        }
        return slot;
    }

  private:
    std::filesystem::path folder_;
    std::map<std::string, std::shared_ptr<const Firmware>> loaded_;
};

// {"text": ...} | {"base64": ...} | {"path": ...}: exactly one of them.
Bytes contentOf(const Field& field, const ContentSource& source, const char* extraKey) {
    field.allowOnly({"text", "base64", "path", extraKey});
    const std::optional<Field> text = field.optional("text");
    const std::optional<Field> base64 = field.optional("base64");
    const std::optional<Field> path = field.optional("path");
    if ((text ? 1 : 0) + (base64 ? 1 : 0) + (path ? 1 : 0) != 1) {
        field.fail("needs exactly one of \"text\", \"base64\" and \"path\"");
    }
    if (text) return bytesOf(text->text());
    if (base64) return base64Decoded(*base64);
    return source.read(*path);
}

Probe probeOf(const Field& field) {
    const std::string name = field.text();
    if (name == "ack") return Probe::Ack;
    if (name == "nack") return Probe::Nack;
    if (name == "address-only") return Probe::AddressOnly;
    field.fail("\"" + name + "\" is not one of \"ack\", \"nack\", \"address-only\"");
}

uint8_t transferStep(const Field& field) {
    const std::string name = field.text();
    for (uint8_t subop : {0xAA, 0xCC, 0xEE}) {
        if (transferStepName(subop) == name) return subop;
    }
    field.fail("\"" + name + "\" is not one of \"start\", \"chunk\", \"end\"");
}

// "when": "once" (default), "always", or a number of hits.
void applyWhen(const Field& field, FaultRule& rule) {
    if (field.is(json_type_string) && field.text() == "always") {
        rule.persist = Persist::Always;
    } else if (field.is(json_type_string) && field.text() == "once") {
        rule.times = 1;
    } else if (field.is(json_type_int)) {
        rule.times = static_cast<unsigned>(field.integerIn(1, 1'000'000'000));
    } else {
        field.fail("must be \"once\", \"always\" or a number of times");
    }
}

FaultRule faultOf(const Field& field) {
    field.allowOnly({"kind", "opcode", "step", "when", "skip", "probability", "payload"});
    const Field kind = field.required("kind");
    const std::optional<Fault> fault = faultNamed(kind.text());
    if (!fault || *fault == Fault::RawReply) kind.fail("\"" + kind.text() + "\" is not a fault");
    FaultRule rule{.fault = *fault};
    if (auto opcode = field.optional("opcode")) {
        rule.opcode = opcode->byte();
        if (commandName(*rule.opcode).empty()) opcode->fail(hexByte(*rule.opcode) + " is not a command");
    }
    if (auto step = field.optional("step")) rule.subop = transferStep(*step);
    if (auto when = field.optional("when")) applyWhen(*when, rule);
    if (auto skip = field.optional("skip")) rule.skip = static_cast<unsigned>(skip->integerIn(0, 1'000'000'000));
    if (auto probability = field.optional("probability")) {
        rule.probability = probability->number();
        if (!(rule.probability > 0.0 && rule.probability <= 1.0)) {
            probability->fail("must be above 0 and at most 1");
        }
    }
    const std::optional<Field> payload = field.optional("payload");
    if ((*fault == Fault::RawPayload) != payload.has_value()) {
        field.fail("\"payload\" goes with the kind \"raw-payload\" and only with it");
    }
    if (payload) rule.bytes = bytesOf(payload->text());
    return rule;
}

// The opcode of a command written "0xNN", or nothing.
std::optional<uint8_t> commandOpcode(const std::string& text) {
    char* end = nullptr;
    const unsigned long opcode = std::strtoul(text.c_str(), &end, 16);
    if (text.size() != 4 || text.rfind("0x", 0) != 0 || *end != '\0' ||
        commandName(static_cast<uint8_t>(opcode)).empty()) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(opcode);
}

// {"default": us, "0xNN": us, "0xNN STEP": us}: the default, a command by its
// opcode, a file transfer's step.
ReadyDelays readyDelaysOf(const Field& field) {
    ReadyDelays delays;
    field.forEachMember([&](const std::string& key, const Field& value) {
        const auto us = static_cast<uint64_t>(value.integerIn(0, 60'000'000));
        const std::size_t blank = key.find(' ');
        const std::optional<uint8_t> opcode = commandOpcode(key.substr(0, blank));
        const std::string step = blank == std::string::npos ? "" : key.substr(blank + 1);
        const bool transfer = opcode == 0x94 || opcode == 0x95;
        if (key == "default") {
            delays.defaultUs = us;
        } else if (opcode && blank == std::string::npos) {
            delays.byOpcode[*opcode] = us;
        } else if (transfer && (step == "start" || step == "chunk" || step == "end")) {
            const uint8_t subop = step == "start" ? 0xAA : step == "chunk" ? 0xCC : 0xEE;
            delays.byStep[{*opcode, subop}] = us;
        } else {
            value.fail(
                "the key is not \"default\", a command's opcode such as \"0xE2\" or a file "
                "transfer's step such as \"0x94 chunk\"");
        }
    });
    return delays;
}

// {"offset_ms": N} from the host clock, or {"start_ms": N} since the epoch.
void applyClock(const Field& field, NodeState& state, uint64_t hostNowUs) {
    field.allowOnly({"offset_ms", "start_ms"});
    const std::optional<Field> offset = field.optional("offset_ms");
    const std::optional<Field> start = field.optional("start_ms");
    if (offset.has_value() == start.has_value()) field.fail("needs one of \"offset_ms\" and \"start_ms\"");
    const int64_t hostMs = static_cast<int64_t>(hostNowUs / 1000);
    state.clockMs = start ? static_cast<uint64_t>(start->integerIn(0, INT64_MAX))
                          : static_cast<uint64_t>(hostMs + offset->integerIn(-hostMs, INT64_MAX - hostMs));
}

void applyTexts(const Field& field, NodeState& state) {
    field.allowOnly({"e1", "e3", "e4", "e5"});
    const std::pair<const char*, std::string*> slots[] = {
        {"e1", &state.textE1}, {"e3", &state.textE3}, {"e4", &state.textE4}, {"e5", &state.textE5}};
    for (const auto& [key, slot] : slots) {
        if (auto text = field.optional(key)) *slot = text->text();
    }
}

void applyRecords(const Field& field, NodeState& state, const ContentSource& source) {
    field.allowOnly({"a1", "a2", "a3", "a4", "a5"});
    for (uint8_t opcode = 0xA1; opcode <= 0xA5; ++opcode) {
        const std::string key = "a" + std::to_string(opcode - 0xA0);
        const std::optional<Field> list = field.optional(key.c_str());
        if (!list) continue;
        list->forEach([&](const Field& entry) {
            entry.allowOnly({"tag", "text", "base64", "path"});
            const Field tag = entry.required("tag");
            state.records[opcode].push_back(
                Record{.tag = static_cast<uint32_t>(tag.integerIn(0, UINT32_MAX)),
                       .data = contentOf(entry, source, "tag")});
        });
    }
}

std::array<std::string, 4> identityOf(const Field& field) {
    std::array<std::string, 4> identity;
    std::size_t count = 0;
    field.forEach([&](const Field& text) {
        if (count < 4) identity[count] = text.text();
        ++count;
    });
    if (count != 4) field.fail("must hold four texts");
    return identity;
}

void applyNodeState(const Field& node, SimNode& sim, uint64_t hostNowUs,
                    const ContentSource& source) {
    NodeState& state = sim.state();
    if (auto identity = node.optional("identity")) state.identity = identityOf(*identity);
    state.clockRunsSinceUs = hostNowUs;
    state.clockMs = hostNowUs / 1000;
    if (auto clock = node.optional("clock")) applyClock(*clock, state, hostNowUs);
    if (auto texts = node.optional("texts")) applyTexts(*texts, state);
    if (auto map = node.optional("text_map")) {
        map->forEachMember([&](const std::string& key, const Field& text) {
            errno = 0;
            char* end = nullptr;
            const unsigned long long number = std::strtoull(key.c_str(), &end, 0);
            if (key.empty() || *end != '\0' || errno != 0 || number > UINT32_MAX) {
                text.fail("the key is not a 32-bit number");
            }
            state.textMap[static_cast<uint32_t>(number)] = text.text();
        });
    }
    if (auto values = node.optional("values")) {
        std::size_t count = 0;
        values->forEach([&](const Field& value) {
            if (count < 5) state.valuesA0[count] = static_cast<uint32_t>(value.integerIn(0, UINT32_MAX));
            ++count;
        });
        if (count != 5) values->fail("must hold five numbers");
    }
    if (auto records = node.optional("records")) applyRecords(*records, state, source);
    if (auto lines = node.optional("lines")) {
        lines->forEachMember([&](const std::string& name, const Field& list) {
            std::string text;
            list.forEach([&](const Field& line) { text += line.text() + "\n"; });
            state.lines[name] = text;
        });
    }
    if (auto files = node.optional("files")) {
        files->forEachMember([&](const std::string& name, const Field& file) {
            if (!acceptsFileName(name))
                file.fail("a node file's name is 1 to 255 bytes in the state folder's form");
            const std::optional<Field> extra = file.is(json_type_object) ? file.optional("extra") : std::nullopt;
            sim.putFile(name, contentOf(file, source, "extra"),
                        extra ? static_cast<uint32_t>(extra->integerIn(0, UINT32_MAX)) : 0);
        });
    }
}

// What a node answers from: the firmware it names, or the state the scenario gives it
// (which a firmware keeps itself).
void applyNodeAnswers(const Field& node, SimNode& sim, uint64_t hostNowUs,
                      const ContentSource& source, FirmwareSource& firmwares) {
    const std::optional<Field> firmware = node.optional("firmware");
    if (!firmware) return applyNodeState(node, sim, hostNowUs, source);
    for (const char* key : {"identity", "clock", "texts", "text_map", "values", "records", "lines", "files"}) {
        if (auto state = node.optional(key)) state->fail("does not go with \"firmware\": the firmware keeps the node's state");
    }
    sim.runFirmware(std::make_shared<FirmwareNode>(firmwares.load(*firmware), sim.address()));
}

void applyNode(const Field& node, SimBus& bus, const Scenario& scenario, uint64_t hostNowUs,
               const ContentSource& source, FirmwareSource& firmwares) {
    node.allowOnly({"address", "identity", "clock", "texts", "text_map", "values", "records",
                    "lines", "files", "probe", "faults", "ready_us", "firmware"});
    const uint8_t address = node.required("address").address();
    if (bus.node(address) != nullptr) node.required("address").fail(hexByte(address) + " is used twice");
    SimNode& sim = bus.addNode(address);
    sim.seed(scenario.seed * 131 + address);
    sim.setMaxFileSize(scenario.maxFileSize);
    applyNodeAnswers(node, sim, hostNowUs, source, firmwares);
    if (auto probe = node.optional("probe")) sim.setProbe(probeOf(*probe));
    if (auto ready = node.optional("ready_us")) sim.setReadyDelays(readyDelaysOf(*ready));
    if (auto faults = node.optional("faults")) {
        faults->forEach([&](const Field& fault) { sim.inject(faultOf(fault)); });
    }
}

void applyBus(const std::string& path, const Field& field, SimBoard& simBoard,
              const Scenario& scenario, uint64_t hostNowUs, const ContentSource& source,
              FirmwareSource& firmwares) {
    const std::string digits = path.substr(std::min(path.size(), std::size_t{9}));
    if (path.rfind("/dev/i2c-", 0) != 0 || digits.empty() ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        field.fail("the bus must be named /dev/i2c-N");
    }
    if (digits.size() > 9) field.fail("the bus number must be below 1000000000");
    field.allowOnly(
        {"nodes", "devices", "held", "open_error", "funcs_error", "no_answer_error", "speed_hz"});
    SimBus& bus = simBoard.addBus(path);
    if (auto speed = field.optional("speed_hz"))
        bus.setSpeedHz(static_cast<uint32_t>(speed->integerIn(1000, 5'000'000)));
    if (auto nodes = field.optional("nodes")) {
        nodes->forEach(
            [&](const Field& node) { applyNode(node, bus, scenario, hostNowUs, source, firmwares); });
    }
    if (auto devices = field.optional("devices")) {
        devices->forEach([&](const Field& device) {
            device.allowOnly({"address", "probe"});
            const uint8_t address = device.required("address").address();
            if (bus.node(address) != nullptr) device.required("address").fail(hexByte(address) + " is used twice");
            const std::optional<Field> probe = device.optional("probe");
            bus.addDevice(address, probe ? probeOf(*probe) : Probe::Ack);
        });
    }
    if (auto held = field.optional("held")) {
        held->forEach([&](const Field& address) { bus.holdByDriver(address.address()); });
    }
    if (auto error = field.optional("open_error")) bus.failOpen(error->errorNumber());
    if (auto error = field.optional("funcs_error")) bus.failFuncs(error->errorNumber());
    if (auto error = field.optional("no_answer_error")) bus.setNoAnswerErrno(error->errorNumber());
}

void applyGpio(const Field& field, SimBoard& simBoard) {
    field.allowOnly({"present", "held", "set_error", "set_fails"});
    SimGpioChip& chip = simBoard.gpio();
    chip.setPresent(field.optional("present") ? field.required("present").boolean() : true);
    if (auto held = field.optional("held")) {
        held->forEachMember([&](const std::string& line, const Field& consumer) {
            const std::string digits = line.find_first_not_of("0123456789") == std::string::npos ? line : "";
            if (digits.empty() || digits.size() > 4 || std::stoul(digits) >= chip.lineCount()) {
                consumer.fail("\"" + line + "\" is not a line of the chip (0.." +
                              std::to_string(chip.lineCount() - 1) + ")");
            }
            chip.holdLine(static_cast<unsigned>(std::stoul(digits)), consumer.text());
        });
    }
    const std::optional<Field> error = field.optional("set_error");
    const std::optional<Field> fails = field.optional("set_fails");
    if (fails && !error) fails->fail("goes with \"set_error\"");
    if (!error) return;
    const std::string when = fails ? fails->text() : "always";
    if (when == "once") {
        chip.failNextSet(error->errorNumber());
    } else if (when == "always") {
        chip.failSets(error->errorNumber());
    } else {
        fails->fail("must be \"once\" or \"always\"");
    }
}

std::string checkedDeviceList(const Field& field) {
    field.forEach([](const Field& device) {
        device.allowOnly({"id", "config"});
        device.required("id").text();
        const Field config = device.required("config");
        config.allowOnly({"addr"});
        config.required("addr").address();
    });
    return json_object_to_json_string_ext(field.json(), JSON_C_TO_STRING_PLAIN);
}

void applyDeviceApiFault(const Field& field, DeviceApi& api) {
    field.allowOnly({"status", "body", "delay_ms", "endless_body"});
    if (auto status = field.optional("status")) api.status = static_cast<int>(status->integerIn(100, 599));
    if (auto body = field.optional("body")) api.body = body->text();
    if (auto delay = field.optional("delay_ms")) api.delayMs = static_cast<uint64_t>(delay->integerIn(0, 3'600'000));
    if (auto endless = field.optional("endless_body")) api.endlessBody = endless->boolean();
}

DeviceApi deviceApiOf(const Field& field) {
    field.allowOnly({"endpoint", "api_key", "devices", "fault"});
    DeviceApi api;
    if (auto endpoint = field.optional("endpoint")) {
        api.endpoint = endpoint->text();
        if (api.endpoint.empty() || api.endpoint.find_first_of("/ ") != std::string::npos) {
            endpoint->fail("must be a host name, optionally with \":port\"");
        }
    }
    if (auto key = field.optional("api_key")) api.apiKey = key->text();
    if (auto devices = field.optional("devices")) api.devices = checkedDeviceList(*devices);
    if (auto fault = field.optional("fault")) applyDeviceApiFault(*fault, api);
    return api;
}

using TimelineKind = TimelineEvent::Kind;

TimelineKind timelineKindOf(const Field& field) {
    static const std::pair<const char*, TimelineKind> kKinds[] = {
        {"silent", TimelineKind::Silent},
        {"answers", TimelineKind::Answers},
        {"identity", TimelineKind::Identity},
        {"device-api-fails", TimelineKind::DeviceApiFails},
        {"device-api-answers", TimelineKind::DeviceApiAnswers},
        {"device-api-devices", TimelineKind::DeviceApiDevices}};
    const std::string name = field.text();
    for (const auto& [known, kind] : kKinds) {
        if (name == known) return kind;
    }
    field.fail("\"" + name +
               "\" is not one of \"silent\", \"answers\", \"identity\", \"device-api-fails\", "
               "\"device-api-answers\", \"device-api-devices\"");
}

// "bus" (default: the scenario's first) and "node", a node or device on it.
void applyEventNode(const Field& field, const SimBoard& simBoard, const std::string& firstBus,
                    TimelineEvent& event) {
    const std::optional<Field> bus = field.optional("bus");
    event.bus = bus ? bus->text() : firstBus;
    const auto found = simBoard.buses().find(event.bus);
    if (found == simBoard.buses().end()) {
        if (bus) bus->fail("\"" + event.bus + "\" is not a bus of the scenario");
        field.fail("the scenario has no bus");
    }
    const Field node = field.required("node");
    event.address = node.address();
    if (found->second->nodes().count(event.address) == 0) {
        node.fail("no node or device at " + hexByte(event.address) + " on " + event.bus);
    }
}

TimelineEvent timelineEventOf(const Field& field, const SimBoard& simBoard,
                              const std::string& firstBus) {
    field.allowOnly({"at_s", "event", "bus", "node", "identity", "status", "devices"});
    TimelineEvent event;
    event.kind = timelineKindOf(field.required("event"));
    const Field at = field.required("at_s");
    const double seconds = at.number();
    if (!(seconds >= 0 && seconds <= 1e9)) at.fail("must be 0 to 1000000000 seconds");
    event.atUs = static_cast<uint64_t>(std::llround(seconds * 1e6));
    const bool onNode = event.kind == TimelineKind::Silent || event.kind == TimelineKind::Answers ||
                        event.kind == TimelineKind::Identity;
    const std::pair<const char*, bool> only[] = {
        {"bus", onNode},
        {"node", onNode},
        {"identity", event.kind == TimelineKind::Identity},
        {"status", event.kind == TimelineKind::DeviceApiFails},
        {"devices", event.kind == TimelineKind::DeviceApiDevices}};
    for (const auto& [key, allowed] : only) {
        if (auto misplaced = field.optional(key); misplaced && !allowed) {
            misplaced->fail("does not go with the event \"" + field.required("event").text() +
                            "\"");
        }
    }
    if (onNode) applyEventNode(field, simBoard, firstBus, event);
    if (event.kind == TimelineKind::Identity) {
        event.identity = identityOf(field.required("identity"));
        if (simBoard.buses().at(event.bus)->nodes().at(event.address)->firmware() != nullptr)
            field.required("node").fail("runs a firmware, which answers 0xE2 itself");
    }
    if (event.kind == TimelineKind::DeviceApiFails) {
        const std::optional<Field> status = field.optional("status");
        event.status = status ? static_cast<int>(status->integerIn(100, 599)) : 503;
    }
    if (event.kind == TimelineKind::DeviceApiDevices)
        event.devices = checkedDeviceList(field.required("devices"));
    return event;
}

std::vector<TimelineEvent> timelineOf(const Field& field, const SimBoard& simBoard,
                                      const std::string& firstBus) {
    std::vector<TimelineEvent> timeline;
    field.forEach([&](const Field& event) {
        timeline.push_back(timelineEventOf(event, simBoard, firstBus));
    });
    std::stable_sort(
        timeline.begin(), timeline.end(),
        [](const TimelineEvent& a, const TimelineEvent& b) { return a.atUs < b.atUs; });
    return timeline;
}

// json-c keeps the last of keys given twice in one object, silently. This
// walk over the scenario's text (which json-c has accepted, comments and
// single-quoted strings included) finds the first key given twice and names
// it as the checks do: `.key`, or `["key"]` inside maps keyed by free text.
class DuplicateKeys {
  public:
    explicit DuplicateKeys(const std::string& text) : text_(text) {}

    std::optional<std::string> first() {
        value("", false);
        return found_;
    }

  private:
    bool more() const { return pos_ < text_.size(); }
    char at() const { return more() ? text_[pos_] : '\0'; }

    void skipSpaceAndComments() {
        while (more()) {
            if (std::isspace(static_cast<unsigned char>(at()))) {
                ++pos_;
            } else if (text_.compare(pos_, 2, "//") == 0) {
                pos_ = std::min(text_.find('\n', pos_), text_.size());
            } else if (text_.compare(pos_, 2, "/*") == 0) {
                const std::size_t end = text_.find("*/", pos_ + 2);
                pos_ = end == std::string::npos ? text_.size() : end + 2;
            } else {
                return;
            }
        }
    }

    // The quoted token at the position, quotes included.
    std::string stringToken() {
        const std::size_t start = pos_;
        const char quote = at();
        for (++pos_; more() && at() != quote; ++pos_) {
            if (at() == '\\') ++pos_;
        }
        pos_ = std::min(pos_ + 1, text_.size());
        return text_.substr(start, pos_ - start);
    }

    // The key as json-c reads it, escapes decoded.
    static std::string decoded(const std::string& token) {
        const JsonPtr key(json_tokener_parse(token.c_str()));
        if (!json_object_is_type(key.get(), json_type_string)) return token;
        return std::string(json_object_get_string(key.get()),
                           static_cast<std::size_t>(json_object_get_string_len(key.get())));
    }

    void value(const std::string& path, bool map) {
        skipSpaceAndComments();
        if (at() == '{') {
            object(path, map);
        } else if (at() == '[') {
            array(path);
        } else if (at() == '"' || at() == '\'') {
            stringToken();
        } else {
            const std::size_t start = pos_;
            while (more() && std::strchr(",]}/ \t\r\n", at()) == nullptr) ++pos_;
            if (pos_ == start && more()) ++pos_;
        }
    }

    void object(const std::string& path, bool map) {
        static const std::set<std::string> kMaps = {"buses", "files", "text_map",
                                                    "lines", "held",  "ready_us"};
        std::set<std::string> keys;
        for (++pos_, skipSpaceAndComments(); more() && at() != '}'; skipSpaceAndComments()) {
            if (at() == ',') {
                ++pos_;
                continue;
            }
            const std::string key = decoded(stringToken());
            const std::string keyPath = map            ? path + "[\"" + key + "\"]"
                                        : path.empty() ? key
                                                       : path + "." + key;
            if (!keys.insert(key).second && !found_) found_ = keyPath;
            skipSpaceAndComments();
            if (at() == ':') ++pos_;
            value(keyPath, !map && kMaps.contains(key));
        }
        pos_ = std::min(pos_ + 1, text_.size());
    }

    void array(const std::string& path) {
        std::size_t index = 0;
        for (++pos_, skipSpaceAndComments(); more() && at() != ']'; skipSpaceAndComments()) {
            if (at() == ',') {
                ++pos_;
                continue;
            }
            value(path + "[" + std::to_string(index++) + "]", false);
        }
        pos_ = std::min(pos_ + 1, text_.size());
    }

    const std::string& text_;
    std::size_t pos_ = 0;
    std::optional<std::string> found_;
};

JsonPtr parseFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(path + ": cannot read the scenario (" + std::strerror(errno) + ")");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    json_tokener* tokener = json_tokener_new();
    JsonPtr root(json_tokener_parse_ex(tokener, text.c_str(), static_cast<int>(text.size() + 1)));
    const json_tokener_error error = json_tokener_get_error(tokener);
    const std::size_t offset = json_tokener_get_parse_end(tokener);
    json_tokener_free(tokener);
    if (root == nullptr || error != json_tokener_success) {
        const long line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(std::min(offset, text.size())), '\n');
        throw ScenarioError(path + ":" + std::to_string(line) + ": not valid JSON (" +
                            json_tokener_error_desc(error) + ")");
    }
    if (const std::optional<std::string> duplicate = DuplicateKeys(text).first()) {
        throw ScenarioError(oneLine(*duplicate + ": the key is given twice"));
    }
    return root;
}

Scenario scenarioOf(const std::string& path, SimBoard& simBoard, uint64_t hostNowUs) {
    const JsonPtr root = parseFile(path);
    const Field top(root.get(), "");
    top.allowOnly({"version", "seed", "max_file_size", "buses", "gpio", "device_api", "timeline"});
    const Field version = top.required("version");
    if (version.integer() != kVersion) version.fail("this simulator reads version 1 only");
    Scenario scenario;
    if (auto seed = top.optional("seed")) scenario.seed = static_cast<uint64_t>(seed->integerIn(0, INT64_MAX));
    if (auto limit = top.optional("max_file_size")) {
        scenario.maxFileSize = static_cast<uint32_t>(limit->integerIn(1, UINT32_MAX));
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const ContentSource source(folder.empty() ? "." : folder, scenario.maxFileSize);
    FirmwareSource firmwares(folder.empty() ? "." : folder);
    std::string firstBus;
    if (auto buses = top.optional("buses")) {
        buses->forEachMember([&](const std::string& bus, const Field& field) {
            if (firstBus.empty()) firstBus = bus;
            applyBus(bus, field, simBoard, scenario, hostNowUs, source, firmwares);
        });
    }
    if (auto gpio = top.optional("gpio")) applyGpio(*gpio, simBoard);
    if (auto api = top.optional("device_api")) scenario.deviceApi = deviceApiOf(*api);
    if (auto timeline = top.optional("timeline"))
        scenario.timeline = timelineOf(*timeline, simBoard, firstBus);
    return scenario;
}

}  // namespace

Scenario loadScenario(const std::string& path, SimBoard& simBoard, uint64_t hostNowUs) {
    try {
        return scenarioOf(path, simBoard, hostNowUs);
    } catch (const ScenarioError&) {
        throw;
    } catch (const std::exception& e) {
        // A check missed: still one line, naming the file at least.
        throw ScenarioError(path + ": cannot be read as a scenario (" + e.what() + ")");
    }
}

}  // namespace sim
