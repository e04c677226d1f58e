#include "AgentClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Json.h"
#include "Parse.h"
#include "PrintableText.h"

namespace cli {

namespace {

constexpr int kMillisecondsPerSecond = 1000;

std::string withDirectHint(const std::string& text) {
    return text + "; give --direct to use the bus directly";
}

json_object* member(json_object* object, const char* key) {
    json_object* value = nullptr;
    return json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

bool isReply(json_object* line) {
    return json_object_is_type(member(line, "status"), json_type_int) &&
           json_object_get_int64(member(line, "status")) >= 0 &&
           json_object_get_int64(member(line, "status")) <= 255;
}

std::string textOf(json_object* object, const char* key) {
    json_object* value = member(object, key);
    return json_object_is_type(value, json_type_string) ? json_object_get_string(value) : "";
}

// A number, or null as "-".
std::string numberText(json_object* object, const char* key, const char* unit) {
    json_object* value = member(object, key);
    if (!json_object_is_type(value, json_type_int)) {
        return "-";
    }
    return std::to_string(json_object_get_int64(value)) + unit;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string agoText(json_object* node) {
    json_object* seen = member(node, "last_seen_ms");
    if (!json_object_is_type(seen, json_type_int)) {
        return "never";
    }
    const int64_t seconds = (nowMs() - json_object_get_int64(seen)) / kMillisecondsPerSecond;
    return std::to_string(std::max<int64_t>(seconds, 0)) + " s ago";
}

std::string column(std::string text, size_t width) {
    text.resize(std::max(text.size() + 2, width), ' ');
    return text;
}

std::string nodeRow(json_object* node) {
    json_object* jobs = member(node, "jobs");
    const size_t results = json_object_is_type(jobs, json_type_object)
                               ? static_cast<size_t>(json_object_object_length(jobs))
                               : 0;
    json_object* online = member(node, "online");
    return column(printableText(textOf(node, "id")), 16) +
           column(addressText(static_cast<unsigned>(json_object_get_int(member(node, "address")))),
                  9) +
           column(json_object_get_boolean(online) != 0 ? "yes" : "no", 8) +
           column(agoText(node), 12) + column(numberText(node, "clock_offset_ms", " ms"), 14) +
           std::to_string(results) + "\n";
}

std::string transferRow(json_object* transfer) {
    return addressText(static_cast<unsigned>(json_object_get_int(member(transfer, "address")))) +
           "  " + textOf(transfer, "direction") + " " + printableText(textOf(transfer, "remote")) +
           "  " + numberText(transfer, "done", "") + "/" + numberText(transfer, "total", " B") +
           "\n";
}

}  // namespace

std::string agentSocketPath(const std::string& option) {
    if (!option.empty()) {
        return option;
    }
    const char* variable = std::getenv(kAgentSocketVariable);
    return variable != nullptr && *variable != '\0' ? variable : kDefaultAgentSocket;
}

AgentConnection::AgentConnection(const std::string& path)
    : _path(path), _fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        _reason = ENAMETOOLONG;
    } else {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return;
        }
        _reason = errno;
    }
    ::close(_fd);
    _fd = -1;
}

AgentConnection::~AgentConnection() {
    if (_fd >= 0) {
        ::close(_fd);
    }
}

bool AgentConnection::sendLine(std::string_view line, int handed) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    while (!line.empty()) {
        iovec data{const_cast<char*>(line.data()), line.size()};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        if (handed >= 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &handed, sizeof handed);
        }
        const ssize_t sent = ::sendmsg(_fd, &message, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        line.remove_prefix(static_cast<size_t>(sent));
        handed = -1;
    }
    return true;
}

AgentConnection::Answer AgentConnection::ask(json_object* request,
                                             const std::function<void(json_object*)>& progress,
                                             int handed) {
    if (!sendLine(serialise(request) + "\n", handed)) {
        return {nullptr, withDirectHint("the agent at " + _path + " closed the connection")};
    }
    while (const std::optional<std::string> received = nextLine()) {
        JsonDocument document(json_tokener_parse(received->c_str()));
        json_object* updates = member(document.get(), "progress");
        if (json_object_is_type(updates, json_type_array)) {
            progress(updates);
        } else if (isReply(document.get())) {
            return {std::move(document), ""};
        } else {
            return {nullptr, withDirectHint("the agent at " + _path + " sent a broken reply")};
        }
    }
    return {nullptr, withDirectHint(_silent ? "the agent at " + _path + " did not answer within " +
                                                  std::to_string(kAgentSilenceSeconds) + " s"
                                            : "the agent at " + _path +
                                                  " closed the connection without a reply")};
}

std::optional<std::string> AgentConnection::nextLine() {
    for (;;) {
        const size_t end = _pending.find('\n');
        if (end != std::string::npos) {
            std::string line = _pending.substr(0, end);
            _pending.erase(0, end + 1);
            return line;
        }
        pollfd ready{_fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kAgentSilenceSeconds * kMillisecondsPerSecond);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        _silent = polled == 0;
        char buffer[65536];
        const ssize_t got = polled > 0 ? ::read(_fd, buffer, sizeof buffer) : -1;
        if (got <= 0) {
            return std::nullopt;
        }
        _pending.append(buffer, static_cast<size_t>(got));
    }
}

namespace {

uint64_t count(json_object* row, const char* key) {
    return static_cast<uint64_t>(json_object_get_int64(member(row, key)));
}

}  // namespace

void AgentProgress::update(json_object* rows) {
    const size_t rowCount = json_object_array_length(rows);
    if (!_several && rowCount > 0) {
        json_object* row = json_object_array_get_idx(rows, 0);
        _bar.update(count(row, "done"), count(row, "total"));
        return;
    }
    if (!_block) {
        std::vector<std::string> labels;
        for (size_t index = 0; index < rowCount; ++index) {
            labels.push_back(
                addressText(static_cast<unsigned>(count(json_object_array_get_idx(rows, index), "address"))));
        }
        _block.emplace(_console, labels);
        _rows = rowCount;
    }
    for (size_t index = 0; index < std::min(rowCount, _rows); ++index) {
        json_object* row = json_object_array_get_idx(rows, index);
        _block->update(index, count(row, "done"), count(row, "total"));
    }
}

void AgentProgress::finish() {
    _bar.finish();
    if (_block) {
        _block->finish();
    }
}

std::string statusText(json_object* status) {
    std::string text = "agent " + printableText(textOf(status, "version")) + " on " +
                       printableText(textOf(status, "bus")) + ": " +
                       numberText(status, "online", "") + " of " + numberText(status, "total", "") +
                       " nodes online\n";
    text += column("ID", 16) + column("ADDRESS", 9) + column("ONLINE", 8) +
            column("LAST SEEN", 12) + column("CLOCK OFFSET", 14) + "JOB RESULTS\n";
    json_object* nodes = member(status, "nodes");
    for (size_t index = 0;
         json_object_is_type(nodes, json_type_array) && index < json_object_array_length(nodes);
         ++index) {
        text += nodeRow(json_object_array_get_idx(nodes, index));
    }
    json_object* transfers = member(status, "transfers");
    const size_t count =
        json_object_is_type(transfers, json_type_array) ? json_object_array_length(transfers) : 0;
    text += count == 0 ? "no transfers under way\n" : "transfers under way:\n";
    for (size_t index = 0; index < count; ++index) {
        text += "  " + transferRow(json_object_array_get_idx(transfers, index));
    }
    return text;
}

}  // namespace cli
