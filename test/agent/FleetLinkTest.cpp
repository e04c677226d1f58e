// The agent's link to the fleet: the real agent under the simulator, a real mosquitto broker
// on a loopback port, and the test's own MQTT clients watching what crosses it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "Broker.h"

namespace {

using testing::HasSubstr;

const std::vector<BrokerUser> kUsers = {{"pump-3", "board secret"},
                                        {"other", "other secret"},
                                        {"ops", "operator secret", true}};

BrokerClient::Options as(const std::string& user, const std::string& password) {
    return {user, password, "", true, ""};
}

// The broker's access list: a board reads and writes under its own prefix and nowhere else
// (mosquitto grants a wider subscription, and then delivers only what the board may read).
TEST(FleetBroker, KeepsEachBoardInsideItsOwnPrefix) {
    const Broker broker(kUsers);
    BrokerClient operatorClient(broker, as("ops", "operator secret"));
    BrokerClient board(broker, as("pump-3", "board secret"));
    ASSERT_TRUE(operatorClient.connected() && board.connected()) << broker.log();
    ASSERT_TRUE(operatorClient.subscribe("kestro/v1/#"));
    board.subscribe("kestro/v1/#");
    board.publish("kestro/v1/other/status", "forged");
    board.publish("kestro/v1/pump-3/status", "own");
    operatorClient.publish("kestro/v1/other/cmd", "for another board");
    operatorClient.publish("kestro/v1/pump-3/cmd", "for this board");
    ASSERT_EQ(operatorClient.awaitOn("kestro/v1/pump-3/status"), "own");
    ASSERT_EQ(board.awaitOn("kestro/v1/pump-3/cmd"), "for this board");
    for (const MqttMessage& message : operatorClient.messages()) {
        EXPECT_NE(message.payload, "forged") << message.topic;
    }
    for (const MqttMessage& message : board.messages()) {
        EXPECT_NE(message.payload, "for another board") << message.topic;
    }
}

}  // namespace
