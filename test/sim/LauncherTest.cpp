// Real programs under i2c-kestro-sim, as a user runs them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "IsolatedRun.h"
#include "TargetCommand.h"

namespace {

using testing::HasSubstr;
using testing::Not;

const std::string kExamples = KESTRO_EXAMPLES;

class Launcher : public testing::Test {
  protected:
    ChildOutcome run(const std::vector<std::string>& options, const std::vector<std::string>& program) {
        const std::string errors = (scratch_.path() / "stderr").string();
        const std::string command =
            kestro::test::shellCommandLine(kestro::test::simCommand(options, program)) + " 2>" + errors;
        ChildOutcome outcome{-1, "", ""};
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return outcome;
        char buffer[512];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) outcome.out.append(buffer, n);
        const int status = ::pclose(pipe);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.err = readFile(errors);
        return outcome;
    }
    std::string scratch(const char* name) const { return (scratch_.path() / name).string(); }

    // The value at a path of keys in the JSON report.
    std::string reported(const std::vector<const char*>& keys) const {
        json_object* report = json_object_from_file(scratch("report.json").c_str());
        json_object* at = report;
        for (const char* key : keys) {
            if (at != nullptr && json_object_is_type(at, json_type_array)) {
                at = json_object_array_get_idx(at, std::stoul(key));
            } else if (!json_object_object_get_ex(at, key, &at)) {
                at = nullptr;
            }
        }
        const std::string value = at == nullptr ? "absent" : json_object_get_string(at);
        json_object_put(report);
        return value;
    }

    TempDir scratch_;
};

TEST_F(Launcher, BringsTheExampleBoardUpForABoardApplicationInFastTime) {
    const ChildOutcome app = run({"--fast", "--report", scratch("report.json")},
                                 {KESTRO_SIM_BOARD_APP, kExamples + "/config.json"});

    EXPECT_EQ(app.status, 0) << app.out << app.err;
    for (const char* id : {"node-1", "node-2", "node-3"}) {
        EXPECT_THAT(app.out, HasSubstr(std::string("found ") + id + " on /dev/i2c-3\n"));
    }
    EXPECT_THAT(app.out, Not(HasSubstr("found node-4"))) << "nothing answers at 0x13";
    EXPECT_THAT(app.out, Not(HasSubstr("found node-5"))) << "0x14 answers as someone else";
    EXPECT_EQ(reported({"device_api_requests", "0", "path"}), "/api/v1/device");
    EXPECT_EQ(reported({"device_api_requests", "0", "key_accepted"}), "true");
    EXPECT_EQ(reported({"board", "gpio", "lines", "7", "value"}), "0") << "low after teardown";
    EXPECT_EQ(reported({"board", "counters", "slept_us"}), "2400000")
        << "two GPIO sets of 1 s, and identity queries to the four addresses that answer";
}

TEST_F(Launcher, RunsAProgramInRealTimeAndPassesItsExitStatusOn) {
    const ChildOutcome probe = run({}, {KESTRO_SIM_PROBE, "3"});

    EXPECT_EQ(probe.status, 3) << probe.err;
    EXPECT_EQ(probe.out,
              "identity: kestro 1.4.2 sensor-board node-1 \n"
              "waited: at least 100 ms\n"
              "gpio: driven\n");
}

TEST_F(Launcher, TracesEachCommandLikeAProtocolAnalyser) {
    const ChildOutcome probe = run({"--fast", "--trace", scratch("trace")}, {KESTRO_SIM_PROBE});

    EXPECT_EQ(probe.status, 0) << probe.err;
    // libgpiod 1 looks the chip up in sysfs as well; libgpiod 2 opens the device alone.
    const char* golden = KESTRO_GPIOD_API == 2 ? "/probe-gpiod2.trace" : "/probe.trace";
    EXPECT_EQ(readFile(scratch("trace")), readFile(std::string(KESTRO_SIM_GOLDEN) + golden));
}

TEST_F(Launcher, KeepsNodeFilesFromOneRunToTheNextInTheStateFolder) {
    writeFile(scratch("sent.txt"), "kept between runs\n");
    const std::vector<std::string> options = {"--fast", "--state", scratch("state")};
    const std::string config = kExamples + "/config.json";

    const ChildOutcome send = run(options, {KESTRO_SIM_BOARD_APP, config, "send", scratch("sent.txt"), "kept.txt"});
    const ChildOutcome get = run(options, {KESTRO_SIM_BOARD_APP, config, "get", "kept.txt", scratch("back.txt")});

    EXPECT_EQ(send.status, 0) << send.out << send.err;
    EXPECT_EQ(get.status, 0) << get.out << get.err;
    EXPECT_EQ(readFile(scratch("back.txt")), "kept between runs\n");
    EXPECT_EQ(readFile(scratch("state") + "/i2c-3/0x10/kept.txt"), "kept between runs\n");
}

TEST_F(Launcher, RefusesABadScenarioWithOneLineBeforeTheProgramStarts) {
    writeFile(scratch("bad.json"), R"({"version": 1, "buses": {"/dev/i2c-3": {"held": [300]}}})");

    const ChildOutcome probe = run({"--scenario", scratch("bad.json")}, {KESTRO_SIM_PROBE});

    EXPECT_EQ(probe.status, 64);
    EXPECT_EQ(probe.out, "");
    EXPECT_EQ(probe.err, "i2c-kestro-sim: buses[\"/dev/i2c-3\"].held[0]: 0x12C is not a 7-bit address\n");
}

}  // namespace
