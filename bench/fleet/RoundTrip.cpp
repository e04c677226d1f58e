// Round trips of one node request through the broker to a board's agent and back, in one MQTT
// session, so that neither a process start nor a connection is in the figure:
//
//   kestro-fleet-round-trip URL USER PASSWORD BOARD COUNT
//
// prints the median and the 95th percentile in milliseconds, and the failures.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FleetLink.h"

namespace {

using cli::FleetClock;

constexpr auto kPatience = std::chrono::seconds(10);

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[static_cast<size_t>(share * (values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s URL USER PASSWORD BOARD COUNT\n", argv[0]);
        return 64;
    }
    const std::string board = argv[4];
    cli::FleetCredentials credentials;
    credentials.user = argv[2];
    credentials.password = argv[3];
    cli::FleetLink link(*cli::parseBrokerUrl(argv[1]), credentials);
    const std::string replyTopic = "kestro/v1/" + board + "/reply/" + link.clientId();
    std::string lastCorrelation;
    link.onMessage([&](const cli::FleetMessage& message) {
        if (message.payload.find("\"status\"") != std::string::npos) {
            lastCorrelation = message.correlation;
        }
    });
    const std::string fault = link.open({replyTopic}, FleetClock::now() + kPatience);
    if (!fault.empty()) {
        std::fprintf(stderr, "%s\n", fault.c_str());
        return 69;
    }
    std::vector<double> milliseconds;
    int failures = 0;
    for (int index = 0; index < std::atoi(argv[5]); ++index) {
        const std::string correlation = std::to_string(index);
        const auto sent = FleetClock::now();
        link.publish("kestro/v1/" + board + "/cmd",
                     R"({"id": )" + correlation +
                         R"(, "command": "node", "nodes": "0x10", "name": "get-identity"})",
                     replyTopic, correlation);
        link.run(sent + kPatience, [&] { return lastCorrelation == correlation; });
        if (lastCorrelation != correlation) {
            ++failures;
            continue;
        }
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(FleetClock::now() - sent).count());
    }
    std::printf("round trip, %zu requests: median %.2f ms, p95 %.2f ms, %d unanswered\n",
                milliseconds.size(), percentile(milliseconds, 0.5), percentile(milliseconds, 0.95),
                failures);
    return failures == 0 ? 0 : 1;
}
