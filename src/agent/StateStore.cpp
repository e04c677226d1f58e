#include "StateStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "Json.h"
#include "Parse.h"

namespace agent {

namespace {

std::optional<int64_t> numberAt(json_object* object, const char* key) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(object, key, &value) || !json_object_is_type(value, json_type_int)) {
        return std::nullopt;
    }
    return json_object_get_int64(value);
}

std::string textAt(json_object* object, const char* key) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(object, key, &value) || !json_object_is_type(value, json_type_string)) {
        return "";
    }
    return json_object_get_string(value);
}

void restoreNodes(json_object* state, Supervisor& supervisor) {
    json_object* nodes = nullptr;
    if (!json_object_object_get_ex(state, "nodes", &nodes) || !json_object_is_type(nodes, json_type_array)) {
        return;
    }
    for (size_t index = 0; index < json_object_array_length(nodes); ++index) {
        json_object* node = json_object_array_get_idx(nodes, index);
        const std::optional<int64_t> seen = numberAt(node, "last_seen_ms");
        supervisor.restore(textAt(node, "id"),
                           seen ? std::optional<uint64_t>(static_cast<uint64_t>(*seen)) : std::nullopt,
                           numberAt(node, "clock_offset_ms"));
    }
}

void restoreJobs(json_object* state, Supervisor& supervisor) {
    json_object* jobs = nullptr;
    if (!json_object_object_get_ex(state, "job_runs", &jobs) || !json_object_is_type(jobs, json_type_object)) {
        return;
    }
    json_object_object_foreach(jobs, name, value) {
        if (json_object_is_type(value, json_type_int)) {
            supervisor.restoreJobRun(name, static_cast<uint64_t>(json_object_get_int64(value)));
        }
    }
}

std::vector<std::string> interruptedTransfers(json_object* state) {
    std::vector<std::string> lines;
    json_object* transfers = nullptr;
    if (!json_object_object_get_ex(state, "transfers", &transfers) ||
        !json_object_is_type(transfers, json_type_array)) {
        return lines;
    }
    for (size_t index = 0; index < json_object_array_length(transfers); ++index) {
        json_object* transfer = json_object_array_get_idx(transfers, index);
        const std::optional<int64_t> address = numberAt(transfer, "address");
        lines.push_back(textAt(transfer, "direction") + " of " + textAt(transfer, "remote") +
                        " at " + cli::addressText(static_cast<unsigned>(address.value_or(0) & 0x7F)));
    }
    return lines;
}

bool writeWhole(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + written, text.size() - written);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<size_t>(wrote);
    }
    return true;
}

}  // namespace

StateStore::StateStore(std::string directory) : _path(std::move(directory) + "/state.json") {}

std::vector<std::string> StateStore::restore(Supervisor& supervisor) const {
    JsonDocument state(json_object_from_file(_path.c_str()));
    if (!state || !json_object_is_type(state.get(), json_type_object)) {
        return {};
    }
    restoreNodes(state.get(), supervisor);
    restoreJobs(state.get(), supervisor);
    return interruptedTransfers(state.get());
}

bool StateStore::save(const Supervisor& supervisor, json_object* transfers) {
    JsonDocument state = cli::newObject();
    cli::setValue(state.get(), "nodes", supervisor.nodesDocument().release());
    JsonDocument runs = cli::newObject();
    for (const auto& [name, atMs] : supervisor.jobRuns()) {
        cli::setNumber(runs.get(), name.c_str(), static_cast<int64_t>(atMs));
    }
    cli::setValue(state.get(), "job_runs", runs.release());
    cli::setValue(state.get(), "transfers", json_object_get(transfers));
    const std::string text = cli::serialise(state.get()) + "\n";
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(_path).parent_path(), ignored);
    const std::string temporary = _path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    const bool written = fd >= 0 && writeWhole(fd, text) && ::fsync(fd) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (written && ::rename(temporary.c_str(), _path.c_str()) == 0) {
        _complained = false;
        return true;
    }
    if (!_complained) {
        std::cerr << "cannot write the agent's state to " << _path << ": " << std::strerror(errno)
                  << " (check state_dir in agent.json)" << std::endl;
        _complained = true;
    }
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace agent
