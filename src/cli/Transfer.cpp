#include "Transfer.h"

#include <signal.h>

#include <algorithm>
#include <array>
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

// A failed transfer's exit status and why: the signal's when one asked it to stop, else the
// node status.
std::pair<int, std::string> failure(int32_t status) {
    if (stopSignal != 0) {
        return {kSignalStatusBase + stopSignal,
                std::string("stopped by SIG") + sigabbrev_np(stopSignal)};
    }
    return {status, nodeStatusText(status)};
}

int failed(Console& console, json_object* document, int32_t status) {
    const auto [code, text] = failure(status);
    return console.fail(document, "status", code, text);
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
    options.stop = [] { return stopSignal != 0; };
    return options;
}

int32_t transfer(NorvaneI2CNode& node, bool put, const std::string& source,
                 const std::string& target, const TransferOptions& options) {
    return put ? node.sendFile(source, target, options) : node.getFile(source, target, options);
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

}  // namespace

int runTransfer(Console& console, const Settings& settings, uint8_t address,
                const TransferRequest& request) {
    const bool put = request.direction == Direction::Put;
    const std::string& source = request.source;
    const std::string target = copyName(request);
    JsonDocument document = nodeDocument(settings.bus, address, put ? "put" : "get");
    // Nothing goes to the node for a copy that could not be kept.
    if (const std::optional<std::string> fault = put ? std::nullopt : destinationFault(target)) {
        return console.fail(document.get(), "status", NODE_NO_REQUEST_FRAME, *fault);
    }
    NorvaneI2CNode node(address, settings.bus.c_str());
    if (const std::optional<std::string> fault = channelFault(node, settings.bus, address)) {
        return console.fail(document.get(), "status", kBusUnusable, *fault);
    }
    node.replyPollUs = settings.replyPollUs;
    ProgressBar bar(console);
    uint64_t moved = 0;
    const TransferOptions options = optionsOf(request, [&](uint64_t done, uint64_t total) {
        moved = done;
        bar.update(done, total);
    });
    const auto start = std::chrono::steady_clock::now();
    int32_t status = NODE_SUCCESS;
    untilStopped([&] {
        status = transfer(node, put, source, target, options);
        return status == NODE_SUCCESS;
    });
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    bar.finish();
    setNumber(document.get(), "bytes", static_cast<int64_t>(moved));
    setValue(document.get(), "seconds", json_object_new_double(seconds.count()));
    if (status != NODE_SUCCESS) {
        return failed(console, document.get(), status);
    }
    const std::string sha256 = digestText(put ? source : target);
    setNumber(document.get(), "status", status);
    setText(document.get(), "sha256", sha256);
    console.printDocument(document.get());
    console.print(summaryLine(request.direction, source, target,
                              addressText(address) + " on " + settings.bus, moved, seconds.count(),
                              sha256));
    return 0;
}

int runTransferOnEach(Console& console, const Settings& settings,
                      const std::vector<uint8_t>& addresses, const TransferRequest& request) {
    const bool put = request.direction == Direction::Put;
    const std::string& source = request.source;
    std::vector<NodePart> parts = nodeParts(settings, addresses, put ? "put" : "get");
    std::vector<std::string> targets(parts.size());
    std::vector<TransferOptions> options(parts.size());
    std::vector<uint64_t> moved(parts.size(), 0);
    ProgressBlock block(console, addressLabels(addresses));
    std::deque<NorvaneI2CNode> nodes;
    BusSchedule schedule;
    if (!put && !request.destination.empty()) {
        std::error_code ignored;  // a folder that is still missing fails each fetch below
        std::filesystem::create_directories(request.destination, ignored);
    }
    for (size_t index = 0; index < parts.size(); ++index) {
        NodePart& part = parts[index];
        targets[index] = put ? copyName(request) : fetchedPath(request, part.address);
        if (const std::optional<std::string> fault =
                put ? std::nullopt : destinationFault(targets[index])) {
            failPart(part, NODE_NO_REQUEST_FRAME, *fault);
            continue;
        }
        NorvaneI2CNode* node = openNode(settings, part, nodes);
        if (node == nullptr) {
            continue;
        }
        options[index] = optionsOf(request, [&block, &moved, index](uint64_t done, uint64_t total) {
            moved[index] = done;
            block.update(index, done, total);
        });
        part.job = schedule.add(*node, [&, index](NorvaneI2CNode& asked) {
            return transfer(asked, put, source, targets[index], options[index]);
        });
    }
    untilStopped([&] {
        schedule.run();
        return std::ranges::all_of(parts, [&schedule](const NodePart& part) {
            return !part.job || schedule.result(*part.job).status == NODE_SUCCESS;
        });
    });
    block.finish();
    const std::string sentDigest = put ? digestText(source) : "";
    eachResult(parts, schedule,
               [&](size_t index, NodePart& part, const BusSchedule::Result& result) {
                   noteTransfer(part, result, moved[index], [&](double seconds) {
                       const std::string sha256 = put ? sentDigest : digestText(targets[index]);
                       setText(part.document.get(), "sha256", sha256);
                       return summaryLine(request.direction, source, targets[index],
                                          addressText(part.address) + " on " + settings.bus,
                                          moved[index], seconds, sha256);
                   });
               });
    return reportParts(console, settings, put ? "put" : "get", parts);
}

}  // namespace cli
