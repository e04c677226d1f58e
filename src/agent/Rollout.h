#pragma once

// A rollout (docs/fleet.md): a file fetched over HTTPS into the agent's state folder, checked
// against the size and digest it was asked with, then put to nodes on the agent's schedule.

#include <curl/curl.h>
#include <json-c/json.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "JsonDocument.h"

namespace agent {

// The largest file a rollout takes: the nodes' flash is far smaller.
constexpr uint64_t kRolloutMaxBytes = 64ULL * 1024 * 1024;
// The request could not be fetched (connection, TLS, the server's answer).
constexpr int kRolloutUnavailable = 69;
// What came is not the file asked for (its size or digest), or it cannot be kept.
constexpr int kRolloutBadFile = 74;

struct RolloutOrder {
    std::string id;
    std::string url;
    std::string sha256;  // lower-case hex
    uint64_t size = 0;
    std::string nodes;  // as the request gave them; "all": the agent's online nodes
    std::string remote;
};

// The request checked as the other requests are: a bad or missing member throws
// std::invalid_argument with one line naming it.
RolloutOrder rolloutOrderOf(json_object* request);

// One HTTPS fetch, driven from the agent's loop through libcurl's multi interface: it never
// holds the loop longer than one read or write of the connection. A file already in the
// folder under its digest is taken as it is.
class Download {
  public:
    using Clock = std::chrono::steady_clock;

    Download(const RolloutOrder& order, const std::string& folder, const std::string& caFile);
    ~Download();
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    void addPollFds(std::vector<pollfd>& fds) const;
    // Moves the transfer on; when it wants to be called again.
    Clock::time_point service(Clock::time_point now);

    bool done() const { return _done; }
    bool fetched() const { return _fetched; }
    // Once done: 0 with the file in place, else a status and why.
    int status() const { return _status; }
    const std::string& fault() const { return _fault; }
    const std::string& path() const { return _path; }

  private:
    static size_t onData(char* data, size_t size, size_t count, void* self);
    size_t take(const char* data, size_t length);
    void start(const std::string& caFile);
    void finish(CURLcode code);
    void fail(int status, const std::string& why);

    RolloutOrder _order;
    std::string _path;
    std::string _partial;
    CURLM* _multi = nullptr;
    CURL* _easy = nullptr;
    FILE* _file = nullptr;
    uint64_t _received = 0;
    bool _oversized = false;
    bool _done = false;
    bool _fetched = false;
    int _status = 0;
    std::string _fault;
    char _error[CURL_ERROR_SIZE] = {};
};

// STATE_DIR/rollouts.json: the rollouts under way, so that one an agent stop cut short is
// known at the next start. Written whole each time, through a new file renamed over it.
class RolloutJournal {
  public:
    explicit RolloutJournal(const std::string& stateDir);
    // The ids of the rollouts found there; the journal is emptied.
    std::vector<std::string> takeInterrupted();
    void add(const RolloutOrder& order);
    void remove(const std::string& id);

  private:
    void save() const;

    std::string _file;
    std::map<std::string, std::string> _entries;  // id -> url
};

}  // namespace agent
