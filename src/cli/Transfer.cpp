#include "Transfer.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "ErrorTexts.h"
#include "ExitStatus.h"
#include "Json.h"
#include "LocalFile.h"
#include "ManyNodes.h"
#include "NodeCommands.h"
#include "NodeOutputText.h"
#include "Parse.h"
#include "PrintableText.h"
#include "Sha256.h"
#include "TransferOptions.h"

namespace cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 60;
// ANSI: erase to the end of the line; erase to the end of the screen.
constexpr const char* kEraseLineEnd = "\x1b[K";
constexpr const char* kEraseBelow = "\x1b[J";
constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};
// The exit status of a run that a signal stopped, as a shell reports a program it ended.
constexpr int kSignalStatusBase = 128;

// The signal that asked the transfer to stop, or 0.
volatile sig_atomic_t stopSignal = 0;

void noteStop(int signal) {
    stopSignal = signal;
}

// While it lives, the stop signals ask the transfer to stop between its steps instead of ending
// the program at once, so that the node's side of it is ended and the temporary file removed.
class StopOnSignals {
  public:
    StopOnSignals() {
        struct sigaction action {};
        action.sa_handler = noteStop;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (size_t index = 0; index < kStopSignals.size(); ++index) {
            ::sigaction(kStopSignals[index], &action, &_saved[index]);
        }
    }
    ~StopOnSignals() {
        for (size_t index = 0; index < kStopSignals.size(); ++index) {
            ::sigaction(kStopSignals[index], &_saved[index], nullptr);
        }
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

  private:
    std::array<struct sigaction, kStopSignals.size()> _saved{};
};

// 0 or why not (an errno).
int writeAll(int fd, const char* data, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t wrote = ::pwrite(fd, data, size, offset);
        if (wrote < 0) {
            return errno;
        }
        data += wrote;
        size -= static_cast<size_t>(wrote);
        offset += wrote;
    }
    return 0;
}

std::string durationText(double seconds) {
    const auto whole = static_cast<unsigned long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%lu:%02lu", whole / 60, whole % 60);
    return text;
}

std::string digestText(const std::string& path) {
    uint8_t digest[kSha256DigestSize];
    if (fileDigest(path.c_str(), digest) != 0) {
        return "";
    }
    return hexText(digest, sizeof digest);
}

std::string baseName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

std::string summaryLine(Direction direction, const std::string& source,
                        const std::string& destination, const std::string& where, uint64_t bytes,
                        double seconds, const std::string& sha256) {
    char figures[64];
    std::snprintf(figures, sizeof figures, "%llu bytes in %.1f s",
                  static_cast<unsigned long long>(bytes), seconds);
    const bool put = direction == Direction::Put;
    return std::string(put ? "sent " : "fetched ") + source + (put ? " to " : " from ") + where +
           " as " + destination + ": " + figures + ", sha256 " + sha256 + "\n";
}

// Why a fetch into `target` could not write it in place, or nothing.
std::optional<std::string> destinationFault(const std::string& target) {
    const int reason = IncomingFile::unwritable(target);
    if (reason == 0) {
        return std::nullopt;
    }
    return "cannot write " + printableText(target) + ": " + std::strerror(reason);
}

// Writes the fetched copy into the handed-over file from its start; 0 or why not (an errno).
int handOver(const HandedFile& handed) {
    const int copy = openRegularFile(handed.copy);
    if (copy < 0) {
        return errno;
    }
    int reason = ::ftruncate(handed.fd.get(), 0) == 0 ? 0 : errno;
    char buffer[65536];
    for (off_t offset = 0; reason == 0;) {
        const ssize_t got = ::pread(copy, buffer, sizeof buffer, offset);
        if (got <= 0) {
            reason = got < 0 ? errno : 0;
            break;
        }
        reason = writeAll(handed.fd.get(), buffer, static_cast<size_t>(got), offset);
        offset += got;
    }
    ::close(copy);
    return reason;
}

// A failed transfer's exit status and why: the signal's when one asked it to stop, else the
// node status.
std::pair<int, std::string> failure(int32_t status) {
    if (stopSignal != 0) {
        return {kSignalStatusBase + stopSignal,
                std::string("stopped by SIG") + sigabbrev_np(stopSignal)};
    }
    return {status, nodeStatusText(status)};
}

// "\x1b[3A": the cursor up three lines, back to the top of a block that many lines high.
std::string cursorUp(size_t lines) {
    return "\x1b[" + std::to_string(lines) + "A";
}

}  // namespace

std::string progressLine(uint64_t done, uint64_t total, double seconds) {
    const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const std::string left =
        rate > 0 ? durationText(static_cast<double>(total - done) / rate) : "-:--";
    char line[128];
    std::snprintf(line, sizeof line, "%3u%%  %llu/%llu B  %.0f B/s  %s left", percent,
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  rate, left.c_str());
    return line;
}

ProgressBar::ProgressBar(Console& console)
    : _console(console), _shown(console.statusIsTerminal()), _start(Clock::now()) {}

void ProgressBar::update(uint64_t done, uint64_t total) {
    const Clock::time_point now = Clock::now();
    if (!_shown || (_drawn && done < total && now - _lastDraw < kRedrawInterval)) {
        return;
    }
    const std::chrono::duration<double> elapsed = now - _start;
    std::string line = progressLine(done, total, elapsed.count());
    line.resize(kBarWidth, ' ');
    _console.status("\r" + line);
    _lastDraw = now;
    _drawn = true;
}

void ProgressBar::finish() {
    if (_drawn) {
        _console.status("\r" + std::string(kBarWidth, ' ') + "\r");
    }
}

ProgressBlock::ProgressBlock(Console& console, const std::vector<std::string>& labels)
    : _console(console), _shown(console.statusIsTerminal()), _start(Clock::now()) {
    for (const std::string& label : labels) {
        _rows.push_back({label});
    }
}

// A row's rate is that of its own transfer: it stays as it was once that one ended.
void ProgressBlock::update(size_t row, uint64_t done, uint64_t total) {
    const Clock::time_point now = Clock::now();
    const std::chrono::duration<double> elapsed = now - _start;
    _rows[row] = {_rows[row].label, true, done, total, elapsed.count()};
    if (!_shown || (_drawn && now - _lastDraw < kRedrawInterval)) {
        return;
    }
    _console.status((_drawn ? cursorUp(_rows.size() + 1) : "") + text(elapsed.count()));
    _lastDraw = now;
    _drawn = true;
}

void ProgressBlock::finish() {
    if (_drawn) {
        _console.status(cursorUp(_rows.size() + 1) + "\r" + kEraseBelow);
    }
}

// Labels of four characters ("0x10") and the total's line line up.
std::string ProgressBlock::text(double seconds) const {
    std::string block;
    uint64_t done = 0;
    uint64_t total = 0;
    for (const Row& row : _rows) {
        block += "\r" + row.label + "  " +
                 (row.started ? progressLine(row.done, row.total, row.seconds) : "waiting") +
                 kEraseLineEnd + "\n";
        done += row.done;
        total += row.total;
    }
    return block + "\rtotal " + (total == 0 ? "waiting" : progressLine(done, total, seconds)) +
           kEraseLineEnd + "\n";
}

HandedFile::~HandedFile() {
    ::unlink(copy.c_str());
}

namespace {

// The stop signals are taken over for the transfers alone: afterwards they end the program at
// once again, also while its summary waits on a full pipe. One that came while the last steps
// were under way let the transfers complete; it ends the program then, as asked.
template <typename Transfers>
void untilStopped(Transfers transfers) {
    bool succeeded = false;
    {
        const StopOnSignals signals;
        succeeded = transfers();
    }
    if (succeeded && stopSignal != 0) {
        ::raise(stopSignal);
    }
}

TransferOptions optionsOf(const TransferRequest& request,
                          std::function<void(uint64_t, uint64_t)> progress) {
    TransferOptions options;
    options.retries = request.retries;
    options.resume = request.resume;
    options.progress = std::move(progress);
    return options;
}

// Where get on several nodes keeps the file of the node at `address`.
std::string fetchedPath(const TransferRequest& request, uint8_t address) {
    return (std::filesystem::path(request.destination) /
            (addressText(address) + "-" + request.source))
        .string();
}

std::vector<std::string> addressLabels(const std::vector<uint8_t>& addresses) {
    std::vector<std::string> labels;
    for (uint8_t address : addresses) {
        labels.push_back(addressText(address));
    }
    return labels;
}

// The name of the copy put makes, or of the file a single get writes.
std::string copyName(const TransferRequest& request) {
    return request.destination.empty() ? baseName(request.source) : request.destination;
}

// What one node's ended transfer adds to its part; `summary` completes a successful one.
void noteTransfer(NodePart& part, const BusSchedule::Result& result, uint64_t moved,
                  const std::function<std::string(double seconds)>& summary) {
    const std::chrono::duration<double> seconds = result.ended - result.started;
    setNumber(part.document.get(), "bytes", static_cast<int64_t>(moved));
    setValue(part.document.get(), "seconds", json_object_new_double(seconds.count()));
    if (result.status != NODE_SUCCESS) {
        const auto [code, text] = failure(result.status);
        failPart(part, code, text);
        return;
    }
    setNumber(part.document.get(), "status", result.status);
    part.text = summary(seconds.count());
}

class TransferCall : public CallOnNodes {
  public:
    TransferCall(const Settings& settings, const std::vector<uint8_t>& addresses, bool several,
                 const TransferRequest& request, Progress progress)
        : CallOnNodes(settings, addresses, several,
                      request.direction == Direction::Put ? "put" : "get"),
          _request(request),
          _put(request.direction == Direction::Put),
          _several(several),
          _onProgress(std::move(progress)),
          _targets(addresses.size()),
          _options(addresses.size()),
          _moved(addresses.size(), 0),
          _totals(addresses.size(), 0) {
        if (several && !_put && !request.destination.empty()) {
            std::error_code ignored;  // a folder that is still missing fails each fetch
            std::filesystem::create_directories(request.destination, ignored);
        }
    }

    JsonDocument progress() const override {
        JsonDocument rows(json_object_new_array());
        for (size_t index = 0; index < _parts.size(); ++index) {
            if (!_parts[index].job) {
                continue;
            }
            JsonDocument row = newObject();
            setNumber(row.get(), "address", _parts[index].address);
            setText(row.get(), "direction", _put ? "put" : "get");
            setText(row.get(), "remote", _put ? _targets[index] : _request.source);
            setNumber(row.get(), "done", static_cast<int64_t>(_moved[index]));
            setNumber(row.get(), "total", static_cast<int64_t>(_totals[index]));
            json_object_array_add(rows.get(), row.release());
        }
        return rows;
    }

    void cancel() override { _cancelled = true; }

  private:
    std::optional<BusSchedule::Operation> operation(size_t index, NodePart& part) override {
        _targets[index] =
            _put || !_several ? copyName(_request) : fetchedPath(_request, part.address);
        if (const std::optional<std::string> fault =
                _put ? std::nullopt : destinationFault(movedFile(index))) {
            failPart(part, NODE_NO_REQUEST_FRAME, *fault);
            return std::nullopt;
        }
        _options[index] = optionsOf(_request, [this, index](uint64_t done, uint64_t total) {
            _moved[index] = done;
            _totals[index] = total;
            _onProgress(index, done, total);
        });
        _options[index].stop = [this] { return stopSignal != 0 || _cancelled; };
        return [this, index](NorvaneI2CNode& asked) {
            return _put ? asked.sendFile(movedFile(index), _targets[index], _options[index])
                        : asked.getFile(_request.source, movedFile(index), _options[index]);
        };
    }

    // The local file a node's transfer reads or writes: the named one, or the handed one's copy.
    std::string movedFile(size_t index) const {
        if (_request.handed) {
            return _request.handed->copy;
        }
        return _put ? _request.source : _targets[index];
    }

    void note(size_t index, NodePart& part, const BusSchedule::Result& result) override {
        if (const int reason = result.status == NODE_SUCCESS && !_put && _request.handed
                                   ? handOver(*_request.handed)
                                   : 0) {
            failPart(
                part, NODE_LOCAL_FILE_FAILURE,
                "cannot write " + printableText(_targets[index]) + ": " + std::strerror(reason));
            return;
        }
        noteTransfer(part, result, _moved[index], [&](double seconds) {
            const std::string sha256 = digestText(movedFile(index));
            setText(part.document.get(), "sha256", sha256);
            return summaryLine(_request.direction, _request.source, _targets[index],
                               addressText(part.address) + " on " + _settings.bus, _moved[index],
                               seconds, sha256);
        });
    }

    const TransferRequest _request;
    const bool _put;
    const bool _several;
    const Progress _onProgress;
    std::vector<std::string> _targets;
    std::vector<TransferOptions> _options;
    std::vector<uint64_t> _moved;
    std::vector<uint64_t> _totals;
    bool _cancelled = false;
};

}  // namespace

std::unique_ptr<CallOnNodes> transferCall(const Settings& settings,
                                          const std::vector<uint8_t>& addresses, bool several,
                                          const TransferRequest& request, Progress progress) {
    return std::make_unique<TransferCall>(settings, addresses, several, request,
                                          std::move(progress));
}

int runTransfer(Console& console, const Settings& settings, const std::vector<uint8_t>& addresses,
                bool several, const TransferRequest& request) {
    ProgressBar bar(console);
    ProgressBlock block(console, addressLabels(addresses));
    const std::unique_ptr<CallOnNodes> call =
        transferCall(settings, addresses, several, request,
                     [&, several](size_t row, uint64_t done, uint64_t total) {
                         several ? block.update(row, done, total) : bar.update(done, total);
                     });
    // Declared after the nodes, the schedule ends before them.
    std::deque<NorvaneI2CNode> nodes;
    BusSchedule schedule;
    call->queue(schedule, ownNodes(settings.bus, nodes));
    untilStopped([&] {
        schedule.run();
        return call->succeeded(schedule);
    });
    several ? block.finish() : bar.finish();
    return call->report(console, schedule);
}

}  // namespace cli
