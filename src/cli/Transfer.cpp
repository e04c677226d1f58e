#include "Transfer.h"

#include <signal.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "ErrorTexts.h"
#include "ExitStatus.h"
#include "Json.h"
#include "LocalFile.h"
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

// A failed transfer's exit status: the signal's when one asked it to stop, else the node status.
int failed(Console& console, json_object* document, int32_t status) {
    if (stopSignal != 0) {
        return console.fail(document, "status", kSignalStatusBase + stopSignal,
                            std::string("stopped by SIG") + sigabbrev_np(stopSignal));
    }
    return console.fail(document, "status", status, nodeStatusText(status));
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

namespace {

// The stop signals are taken over for the transfer alone: afterwards they end the program at
// once again, also while its summary waits on a full pipe. One that came while the last step
// was under way let the transfer complete; it ends the program then, as asked.
int32_t transferUntilStopped(NorvaneI2CNode& node, bool put, const std::string& source,
                             const std::string& target, TransferOptions& options) {
    int32_t status = NODE_SUCCESS;
    {
        const StopOnSignals signals;
        options.stop = [] { return stopSignal != 0; };
        status =
            put ? node.sendFile(source, target, options) : node.getFile(source, target, options);
    }
    if (status == NODE_SUCCESS && stopSignal != 0) {
        ::raise(stopSignal);
    }
    return status;
}

}  // namespace

int runTransfer(Console& console, const Settings& settings, uint8_t address,
                const TransferRequest& request) {
    const bool put = request.direction == Direction::Put;
    const std::string& source = request.source;
    const std::string target =
        request.destination.empty() ? baseName(source) : request.destination;
    JsonDocument document = nodeDocument(settings.bus, address, put ? "put" : "get");
    // Nothing goes to the node for a copy that could not be kept.
    if (const std::optional<std::string> fault = put ? std::nullopt : destinationFault(target)) {
        return console.fail(document.get(), "status", NODE_NO_REQUEST_FRAME, *fault);
    }
    NorvaneI2CNode node(address, settings.bus.c_str());
    if (const std::optional<std::string> fault = channelFault(node, settings.bus, address)) {
        return console.fail(document.get(), "status", kBusUnusable, *fault);
    }
    ProgressBar bar(console);
    uint64_t moved = 0;
    TransferOptions options;
    options.retries = request.retries;
    options.resume = request.resume;
    options.progress = [&](uint64_t done, uint64_t total) {
        moved = done;
        bar.update(done, total);
    };
    const auto start = std::chrono::steady_clock::now();
    const int32_t status = transferUntilStopped(node, put, source, target, options);
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

}  // namespace cli
