#include "Metrics.h"

#include <httplib.h>

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "NorvaneI2cMaster.h"
#include "Parse.h"
#include "Supervisor.h"

namespace agent {

namespace {

// A label value in the exposition: backslash, quote and line end escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string nodeLabels(const NodeState& node) {
    return "{id=\"" + labelValue(node.id) + "\",address=\"" + cli::addressText(node.address) +
           "\"}";
}

void nodeFamilies(std::string& out, const Supervisor& supervisor) {
    family(out, "i2c_kestro_node_up", "gauge", "1 when the node answers its polls, else 0.");
    for (const auto& [id, node] : supervisor.nodes()) {
        out += "i2c_kestro_node_up" + nodeLabels(node) + " " + (node.online ? "1" : "0") + "\n";
    }
    family(out, "i2c_kestro_node_last_seen_timestamp_seconds", "gauge",
           "When the node last answered, in seconds since the epoch.");
    for (const auto& [id, node] : supervisor.nodes()) {
        if (node.lastSeenMs) {
            out += "i2c_kestro_node_last_seen_timestamp_seconds" + nodeLabels(node) + " " +
                   number(static_cast<double>(*node.lastSeenMs) / 1000) + "\n";
        }
    }
    family(out, "i2c_kestro_node_clock_offset_seconds", "gauge",
           "The node's clock minus the board's, read before the last clock sync.");
    for (const auto& [id, node] : supervisor.nodes()) {
        if (node.clockOffsetMs) {
            out += "i2c_kestro_node_clock_offset_seconds" + nodeLabels(node) + " " +
                   number(static_cast<double>(*node.clockOffsetMs) / 1000) + "\n";
        }
    }
}

void counterFamilies(std::string& out, const Counters& counters) {
    family(out, "i2c_kestro_commands_total", "counter",
           "Node operations by the tool's command name and node status (0 success).");
    for (const auto& [key, count] : counters.commands) {
        out += "i2c_kestro_commands_total{command=\"" + labelValue(key.first) + "\",status=\"" +
               std::to_string(key.second) + "\"} " + std::to_string(count) + "\n";
    }
    family(out, "i2c_kestro_transfer_bytes_total", "counter",
           "File bytes moved by put and get requests.");
    out += "i2c_kestro_transfer_bytes_total{direction=\"put\"} " +
           std::to_string(counters.bytesSent) + "\n";
    out += "i2c_kestro_transfer_bytes_total{direction=\"get\"} " +
           std::to_string(counters.bytesReceived) + "\n";
    const NorvaneI2cMaster::Traffic traffic = NorvaneI2cMaster::traffic();
    family(out, "i2c_kestro_bus_transactions_total", "counter", "i2c-dev reads and writes.");
    out += "i2c_kestro_bus_transactions_total " + std::to_string(traffic.transactions) + "\n";
    family(out, "i2c_kestro_bus_transaction_failures_total", "counter",
           "i2c-dev reads and writes that failed.");
    out += "i2c_kestro_bus_transaction_failures_total " + std::to_string(traffic.failures) + "\n";
}

void pollHistogram(std::string& out, const Counters& counters) {
    const char* name = "i2c_kestro_poll_round_trip_seconds";
    family(out, name, "histogram", "A poll's identity command, from request to reply.");
    for (size_t index = 0; index < Counters::kBounds.size(); ++index) {
        out += std::string(name) + "_bucket{le=\"" + number(Counters::kBounds[index]) + "\"} " +
               std::to_string(counters.pollBuckets[index]) + "\n";
    }
    out += std::string(name) + "_bucket{le=\"+Inf\"} " + std::to_string(counters.pollCount) + "\n";
    out += std::string(name) + "_sum " + number(counters.pollSum) + "\n";
    out += std::string(name) + "_count " + std::to_string(counters.pollCount) + "\n";
}

}  // namespace

void Counters::countPoll(double seconds) {
    for (size_t index = 0; index < kBounds.size(); ++index) {
        if (seconds <= kBounds[index]) {
            ++pollBuckets[index];
        }
    }
    ++pollCount;
    pollSum += seconds;
}

std::string exposition(const Supervisor& supervisor, const Counters& counters) {
    std::string out;
    nodeFamilies(out, supervisor);
    counterFamilies(out, counters);
    pollHistogram(out, counters);
    return out;
}

std::optional<std::pair<std::string, int>> splitListen(const std::string& listen) {
    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return std::nullopt;
    }
    const std::optional<uint64_t> port = cli::parseNumber(listen.substr(colon + 1), 65535);
    if (!port || *port == 0) {
        return std::nullopt;
    }
    std::string host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return std::make_pair(host, static_cast<int>(*port));
}

MetricsServer::MetricsServer(const std::string& listen) : _server(std::make_unique<httplib::Server>()) {
    const auto where = splitListen(listen);
    if (!where || !_server->bind_to_port(where->first, where->second)) {
        throw std::runtime_error("cannot serve metrics on " + listen +
                                 " (is the address in use? set metrics.listen in agent.json)");
    }
    _server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        const std::lock_guard hold(_lock);
        response.set_content(_text, "text/plain; version=0.0.4; charset=utf-8");
    });
    _thread = std::thread([this] { _server->listen_after_bind(); });
}

MetricsServer::~MetricsServer() {
    _server->stop();
    _thread.join();
}

void MetricsServer::publish(std::string text) {
    const std::lock_guard hold(_lock);
    _text = std::move(text);
}

}  // namespace agent
