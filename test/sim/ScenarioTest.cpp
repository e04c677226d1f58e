#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "IsolatedRun.h"
#include "BedTest.h"
#include "Scenario.h"

namespace bed {
namespace {

struct BadScenario {
    const char* text;
    const char* error;
};

// Each scenario breaks one rule; the error names the key and what is wrong.
const BadScenario kBadScenarios[] = {
    {R"({"buses": {}})", "scenario: missing key \"version\""},
    {R"({"version": 2})", "version: this simulator reads version 1 only"},
    {R"({"version": 1, "buss": {}})", "buss: unknown key"},
    {R"({"version": 1, "buses": {"/dev/i2c-3": {"nodes": [{"address": 16}, {"address": 17},
        {"address": "0x91"}]}}})",
     "buses[\"/dev/i2c-3\"].nodes[2].address: 0x91 is not a 7-bit address"},
    {R"({"version": 1, "buses": {"/dev/spi-0": {}}})",
     "buses[\"/dev/spi-0\"]: the bus must be named /dev/i2c-N"},
    {R"({"version": 1, "buses": {"/dev/i2c-3": {"nodes": [{"address": 16, "identity": ["a", "b"]}]}}})",
     "buses[\"/dev/i2c-3\"].nodes[0].identity: must hold four texts"},
    {R"({"version": 1, "buses": {"/dev/i2c-3": {"nodes": [{"address": 16, "adress": 17}]}}})",
     "buses[\"/dev/i2c-3\"].nodes[0].adress: unknown key"},
    {R"({"version": 1, "buses": {"/dev/i2c-3": {"nodes": [{"address": 16,
        "faults": [{"kind": "bad-crc", "probability": 1.5}]}]}}})",
     "buses[\"/dev/i2c-3\"].nodes[0].faults[0].probability: must be above 0 and at most 1"},
    {R"({"version": 1, "buses": {"/dev/i2c-3": {"nodes": [{"address": 16,
        "faults": [{"kind": "fire"}]}]}}})",
     "buses[\"/dev/i2c-3\"].nodes[0].faults[0].kind: \"fire\" is not a fault"},
    {R"({"version": 1, "buses": {"/dev/i2c-3": {"nodes": [{"address": 16,
        "files": {"a.txt": {"text": "x", "base64": "eA=="}}}]}}})",
     "buses[\"/dev/i2c-3\"].nodes[0].files[\"a.txt\"]: needs exactly one of \"text\", \"base64\" and \"path\""},
    {R"({"version": 1, "buses": {"/dev/i2c-3": {"open_error": "EWHAT"}}})",
     "buses[\"/dev/i2c-3\"].open_error: \"EWHAT\" is not an errno name such as \"EIO\""},
    {R"({"version": 1, "gpio": {"held": {"40": "other"}}})",
     "gpio.held[\"40\"]: \"40\" is not a line of the chip (0..31)"},
    {R"({"version": 1, "device_api": {"devices": [{"id": "n1", "config": {"addr": 200}}]}})",
     "device_api.devices[0].config.addr: 0xC8 is not a 7-bit address"},
    {R"({"version": 1, "device_api": {"fault": {"status": 42}}})",
     "device_api.fault.status: 42 is outside 100..599"},
    {R"({"version": 1,)", ":1: not valid JSON (unexpected end of data)"},
};

void PrintTo(const BadScenario& scenario, std::ostream* out) {
    *out << scenario.error;
}

class ScenarioFile : public BedTest, public testing::WithParamInterface<BadScenario> {};

TEST_P(ScenarioFile, NamesTheKeyAndWhatIsWrongInOneLine) {
    TempDir folder;
    const std::string path = (folder.path() / "scenario.json").string();
    writeFile(path, GetParam().text);
    try {
        loadScenario(path, bed(), 0);
        FAIL() << "accepted";
    } catch (const bed::ScenarioError& e) {
        const std::string message = e.what();
        const std::string expected = GetParam().error;
        EXPECT_EQ(message.find('\n'), std::string::npos);
        EXPECT_EQ(message.substr(message.size() - std::min(message.size(), expected.size())), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ScenarioFile, testing::ValuesIn(kBadScenarios));

}  // namespace
}  // namespace bed
