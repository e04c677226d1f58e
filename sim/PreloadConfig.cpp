#include "PreloadConfig.h"

#include <map>
#include <sstream>
#include <vector>

namespace bed {

namespace {

using Words = std::vector<std::string>;

Words wordsOf(const std::string& line) {
    std::istringstream in(line.substr(0, line.find('#')));
    Words words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

unsigned long numberOf(const std::string& word) {
    std::size_t used = 0;
    const unsigned long value = std::stoul(word, &used, 0);
    if (used != word.size()) throw ConfigError("not a number: " + word);
    return value;
}

uint8_t addressOf(const std::string& word) {
    const unsigned long value = numberOf(word);
    if (value > 0x7F) throw ConfigError("not a 7-bit address: " + word);
    return static_cast<uint8_t>(value);
}

void expectWords(const Words& words, std::size_t least, std::size_t most) {
    if (words.size() < least || words.size() > most) {
        throw ConfigError("wrong number of words for '" + words[0] + "'");
    }
}

SimBus& busOf(Bed& bed, const std::string& path) {
    SimBus* bus = bed.bus(path);
    return bus != nullptr ? *bus : bed.addBus(path);
}

SimNode& nodeOf(Bed& bed, const Words& words) {
    SimBus& bus = busOf(bed, words[1]);
    const uint8_t address = addressOf(words[2]);
    SimNode* node = bus.node(address);
    return node != nullptr ? *node : bus.addNode(address);
}

Probe probeOf(const std::string& word) {
    static const std::map<std::string, Probe> kProbes = {
        {"ack", Probe::Ack}, {"nack", Probe::Nack}, {"address-only", Probe::AddressOnly}};
    auto it = kProbes.find(word);
    if (it == kProbes.end()) throw ConfigError("unknown probe answer: " + word);
    return it->second;
}

Fault faultOf(const std::string& word) {
    static const std::map<std::string, Fault> kFaults = {
        {"no-answer", Fault::NoAnswer},
        {"bad-start-byte", Fault::BadStartByte},
        {"length-too-large", Fault::LengthTooLarge},
        {"bad-crc", Fault::BadCrc},
        {"bad-end-byte", Fault::BadEndByte},
        {"short-second-read", Fault::ShortSecondRead},
        {"not-ok", Fault::NotOk},
        {"wrong-length", Fault::WrongLength},
        {"refuse-write", Fault::RefuseWrite},
        {"short-write", Fault::ShortWrite}};
    auto it = kFaults.find(word);
    if (it == kFaults.end()) throw ConfigError("unknown fault: " + word);
    return it->second;
}

// fault BUS ADDR NAME [OPCODE] [always]
void addFault(Bed& bed, const Words& words) {
    expectWords(words, 4, 6);
    FaultRule rule{.fault = faultOf(words[3])};
    for (std::size_t i = 4; i < words.size(); ++i) {
        if (words[i] == "always") {
            rule.persist = Persist::Always;
        } else {
            rule.opcode = static_cast<uint8_t>(numberOf(words[i]));
        }
    }
    nodeOf(bed, words).inject(rule);
}

void applyGpio(Bed& bed, const Words& words) {
    expectWords(words, 2, 4);
    if (words[1] == "present") {
        bed.gpio().setPresent(true);
    } else if (words[1] == "busy" && words.size() == 4) {
        bed.gpio().holdLine(static_cast<unsigned>(numberOf(words[2])), words[3]);
    } else {
        throw ConfigError("unknown gpio directive");
    }
}

void applyClock(Bed& bed, const Words& words) {
    expectWords(words, 2, 3);
    if (words[1] == "real" && words.size() == 2) {
        bed.clock().useReal();
    } else if (words[1] == "fake") {
        bed.clock().useFake(words.size() == 3 ? numberOf(words[2]) : FakeClock::kDefaultStartUs);
    } else {
        throw ConfigError("unknown clock directive");
    }
}

void applyLine(const Words& words, Bed& bed, PreloadSettings& settings) {
    const std::string& what = words[0];
    if (what == "bus") {
        expectWords(words, 2, 2);
        busOf(bed, words[1]);
    } else if (what == "node") {
        expectWords(words, 3, 3);
        nodeOf(bed, words);
    } else if (what == "identity") {
        expectWords(words, 7, 7);
        nodeOf(bed, words).state().identity = {words[3], words[4], words[5], words[6]};
    } else if (what == "device") {
        expectWords(words, 3, 4);
        nodeOf(bed, words).setProbe(words.size() == 4 ? probeOf(words[3]) : Probe::Ack);
    } else if (what == "held") {
        expectWords(words, 3, 3);
        busOf(bed, words[1]).holdByDriver(addressOf(words[2]));
    } else if (what == "funcs-fail") {
        expectWords(words, 2, 2);
        busOf(bed, words[1]).failFuncs(EIO);
    } else if (what == "fault") {
        addFault(bed, words);
    } else if (what == "gpio") {
        applyGpio(bed, words);
    } else if (what == "clock") {
        applyClock(bed, words);
    } else if (what == "report") {
        expectWords(words, 2, 2);
        settings.reportPath = words[1];
    } else {
        throw ConfigError("unknown directive '" + what + "'");
    }
}

}  // namespace

PreloadSettings applyConfig(std::istream& config, Bed& bed) {
    PreloadSettings settings;
    int number = 0;
    for (std::string line; std::getline(config, line);) {
        ++number;
        const Words words = wordsOf(line);
        if (words.empty()) continue;
        try {
            applyLine(words, bed, settings);
        } catch (const std::logic_error& e) {
            throw ConfigError("line " + std::to_string(number) + ": " + e.what());
        } catch (const ConfigError& e) {
            throw ConfigError("line " + std::to_string(number) + ": " + e.what());
        }
    }
    return settings;
}

std::string report(const Bed& bed) {
    std::string text;
    for (const std::string& line : bed.trace()) text += line + "\n";
    for (const std::string& path : bed.openDescriptorPaths()) text += "left open " + path + "\n";
    return text;
}

}  // namespace bed
