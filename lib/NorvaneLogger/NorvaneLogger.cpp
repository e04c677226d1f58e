#include "NorvaneLogger.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

int32_t NorvaneLogger::fileLevel = 2;
int32_t NorvaneLogger::fileFd = STDOUT_FILENO;
int32_t NorvaneLogger::stderrLevel = 3;
int32_t NorvaneLogger::stderrFd = STDERR_FILENO;
int32_t NorvaneLogger::settingA = 100;
int32_t NorvaneLogger::settingB = 1440;
int32_t NorvaneLogger::settingC = 7;
std::deque<LogRecord> NorvaneLogger::fileStack;
std::deque<LogRecord> NorvaneLogger::stderrStack;
char NorvaneLogger::bufferFile[kBufferSize];
int32_t NorvaneLogger::bufferFileLen = 0;
char NorvaneLogger::bufferStderr[kBufferSize];
int32_t NorvaneLogger::bufferStderrLen = 0;
std::string NorvaneLogger::logDir = "/var/log/";
int32_t NorvaneLogger::error = 0;

namespace {

constexpr int kExpansionFailedStatus = 11;
constexpr int kFatalStatus = 1;
constexpr std::size_t kMinStackRecords = 10;
constexpr const char* kLogFileName = "NorvaneLogger.logs";

// The settings as the program starts with them, which reset() returns to.
struct StartSettings {
    int32_t fileLevel;
    int32_t stderrLevel;
    int32_t settingA;
    int32_t settingB;
    int32_t settingC;
    std::string logDir;
};
const StartSettings kStart{NorvaneLogger::fileLevel, NorvaneLogger::stderrLevel,
                           NorvaneLogger::settingA,  NorvaneLogger::settingB,
                           NorvaneLogger::settingC,  NorvaneLogger::logDir};

// Each sink's pending record (see Sink).
LogRecord filePending;
LogRecord stderrPending;

// One sink's view of the logger state; the pending record is the one taken
// from the stack that did not fit into the buffer yet.
struct Sink {
    int32_t level;
    std::deque<LogRecord>& stack;
    char* buffer;
    int32_t& held;
    LogRecord& pending;
    std::size_t& dropped;
};

// Records each sink's stack lost since its last record was taken; the next record that reaches
// the sink is preceded by a record saying how many.
std::size_t fileDropped = 0;
std::size_t stderrDropped = 0;

uint64_t wallClockMillis() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

// The prefix is formatted here once, so names that contain '%' stay literal.
std::size_t composePrefix(char* prefix, const char* tag, uint64_t millis,
                          const NorvaneLogger::Location* location) {
    const char* file = location != nullptr ? location->file_name() : "";
    const char* function = location != nullptr ? location->function_name() : "";
    const int line = location != nullptr ? static_cast<int>(location->line()) : 0;
    const int length = std::snprintf(prefix, NorvaneLogger::kBufferSize, "%s,%" PRIu64 ",%s,%d,%s,",
                                     tag, millis, file, line, function);
    return static_cast<std::size_t>(std::clamp(length, 0, NorvaneLogger::kBufferSize - 1));
}

void printRecord(const char* prefix, const char* format, va_list args) {
    std::fputs(prefix, stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Returns the record length, cut so that the record fits an empty sink buffer
// and still ends with its line feed, or the negative result of the expansion.
int expandRecord(char* text, const char* prefix, std::size_t prefixLength, const char* format,
                 va_list args) {
    std::memcpy(text, prefix, prefixLength);
    const int messageLength = std::vsnprintf(
        text + prefixLength, NorvaneLogger::kBufferSize - prefixLength, format, args);
    if (messageLength < 0) {
        return messageLength;
    }
    const std::size_t length =
        std::min<std::size_t>(prefixLength + messageLength, NorvaneLogger::kMaxRecordLength - 1);
    text[length] = '\n';
    return static_cast<int>(length + 1);
}

[[noreturn]] void failExpansion(int result) {
    std::printf("__logger sprintf returned < 0: errcode %d\n", result);
    std::fflush(stdout);
    std::exit(kExpansionFailedStatus);
}

void pushDroppingOldest(std::deque<LogRecord>& stack, const LogRecord& record,
                        std::size_t& dropped) {
    if (stack.size() >= NorvaneLogger::kMaxStackRecords) {
        stack.pop_front();
        ++dropped;
    }
    stack.push_back(record);
}

LogRecord droppedNotice(std::size_t dropped) {
    char text[NorvaneLogger::kBufferSize];
    const NorvaneLogger::Location here = NorvaneLogger::Location::current();
    const std::size_t length = composePrefix(text, "[warn]", wallClockMillis(), &here);
    const int message = std::snprintf(text + length, sizeof text - length,
                                      "NorvaneLogger dropped %zu records\n", dropped);
    return LogRecord{NorvaneLogger::kInfoLevel,
                     std::string(text, length + static_cast<std::size_t>(std::max(message, 0)))};
}

// The record taken goes back on the stack, to follow the notice of the records lost before it.
void putNoticeFirst(Sink& sink) {
    sink.stack.push_back(std::move(sink.pending));
    sink.pending = droppedNotice(sink.dropped);
    sink.dropped = 0;
}

void refill(Sink& sink) {
    while (sink.pending.first == 0 && !sink.stack.empty()) {
        sink.pending = std::move(sink.stack.back());
        sink.stack.pop_back();
        if (sink.pending.first < sink.level) {
            sink.pending = LogRecord{};
        } else if (sink.dropped != 0) {
            putNoticeFirst(sink);
        }
    }
}

bool pendingFits(const Sink& sink) {
    const auto room = static_cast<std::size_t>(NorvaneLogger::kBufferSize - sink.held - 1);
    return sink.pending.first != 0 && sink.pending.second.size() < room;
}

void appendPending(Sink& sink) {
    const std::string& text = sink.pending.second;
    std::memcpy(sink.buffer + sink.held, text.data(), text.size());
    sink.buffer[sink.held + text.size()] = '\n';
    sink.held += static_cast<int32_t>(text.size() + 1);
    sink.pending = LogRecord{};
}

void printFileSpace(int32_t held) {
    std::printf("%davalilableSpaceFile\n", NorvaneLogger::kBufferSize - held);
    std::printf("%dNorvaneLogger::bufferFileLen\n", held);
}

void printFileHeld(int32_t held) {
    std::printf("%dNorvaneLogger::bufferFileLen\n", held);
}

void fillBuffer(Sink& sink, bool reportsSpace) {
    refill(sink);
    while (pendingFits(sink)) {
        const int32_t heldBefore = sink.held;
        if (reportsSpace) {
            printFileSpace(heldBefore);
        }
        appendPending(sink);
        if (reportsSpace) {
            printFileHeld(heldBefore);
        }
        refill(sink);
    }
}

// A reader of a FIFO or socket that went away makes the write fail with EPIPE; the signal that
// comes with it is held back and taken, so that it cannot end the program.
ssize_t writeWithoutSigpipe(int fd, const char* buffer, std::size_t count) {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    sigset_t saved;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &saved);
    const ssize_t written = ::write(fd, buffer, count);
    if (written < 0 && errno == EPIPE && !alreadyPending) {
        const int savedErrno = errno;
        const timespec now{};
        sigtimedwait(&pipeSignal, nullptr, &now);
        errno = savedErrno;
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return written;
}

// One write of everything held; whatever was not taken moves to the front.
void writeBuffer(int fd, char* buffer, int32_t& held) {
    if (held == 0) {
        return;
    }
    std::fflush(stdout);
    const ssize_t written = writeWithoutSigpipe(fd, buffer, static_cast<std::size_t>(held));
    if (written > 0) {
        std::memmove(buffer, buffer + written, static_cast<std::size_t>(held - written));
        held -= static_cast<int32_t>(written);
    }
}

bool refuse(const char* what) {
    std::cerr << "Cannot init NorvaneLogger: " << what << std::endl;
    return false;
}

bool fileStackAccepted() {
    if (NorvaneLogger::fileStack.size() <= NorvaneLogger::kMaxStackRecords) {
        return true;
    }
    std::cerr << "Cannot init NorvaneLogger: file stack size " << NorvaneLogger::fileStack.size()
              << "must be between " << kMinStackRecords << " and "
              << NorvaneLogger::kMaxStackRecords << std::endl;
    return false;
}

bool settingsAccepted() {
    if (!fileStackAccepted()) {
        return false;
    }
    if (NorvaneLogger::settingA < 5 || NorvaneLogger::settingA > 1048576) {
        return refuse("A");
    }
    if (NorvaneLogger::settingB < 5 || NorvaneLogger::settingB > 10080) {
        return refuse("B");
    }
    if (NorvaneLogger::settingC < 1 || NorvaneLogger::settingC > 100) {
        return refuse("C");
    }
    return true;
}

// The log file is never created here: a missing file leaves a negative
// descriptor, and the file sink then keeps its records waiting. Opened without
// blocking, so that a FIFO at the path without a reader fails at once instead
// of holding init, and a full one refuses the write instead of holding log.
void openLogFile() {
    const std::string path = NorvaneLogger::logDir + kLogFileName;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (NorvaneLogger::fileFd > STDERR_FILENO && NorvaneLogger::fileFd != fd) {
        ::close(NorvaneLogger::fileFd);
    }
    NorvaneLogger::fileFd = fd;
}

}  // namespace

void NorvaneLogger::init() {
    if (error != 0) {
        std::cerr << "Cannot init NorvaneLogger: check NorvaneLogger::getError() before calling "
                     "NorvaneLogger::init()"
                  << std::endl;
        return;
    }
    if (!settingsAccepted()) {
        error = 1;
        return;
    }
    openLogFile();
    if (stderrFd < 0) {
        stderrFd = STDERR_FILENO;
    }
    error = 0;
    info("NorvaneLogger inited succesfully %s %d", Location::current(), "hello", 10);
}

void NorvaneLogger::reset() {
    if (fileFd > STDERR_FILENO) {
        ::close(fileFd);
    }
    fileFd = STDOUT_FILENO;
    stderrFd = STDERR_FILENO;
    fileLevel = kStart.fileLevel;
    stderrLevel = kStart.stderrLevel;
    settingA = kStart.settingA;
    settingB = kStart.settingB;
    settingC = kStart.settingC;
    logDir = kStart.logDir;
    fileStack.clear();
    stderrStack.clear();
    bufferFileLen = 0;
    bufferStderrLen = 0;
    filePending = LogRecord{};
    stderrPending = LogRecord{};
    fileDropped = 0;
    stderrDropped = 0;
    error = 0;
}

int32_t NorvaneLogger::getError() {
    return error;
}

void NorvaneLogger::log(int32_t level, const char* tag, const char* format,
                        const Location* location, ...) {
    char prefix[kBufferSize];
    const std::size_t prefixLength = composePrefix(prefix, tag, wallClockMillis(), location);

    va_list args;
    va_start(args, location);
    va_list argsAgain;
    va_copy(argsAgain, args);
    printRecord(prefix, format, args);
    char text[kBufferSize];
    const int length = expandRecord(text, prefix, prefixLength, format, argsAgain);
    va_end(argsAgain);
    va_end(args);
    if (length < 0) {
        failExpansion(length);
    }

    const LogRecord record{level, std::string(text, static_cast<std::size_t>(length))};
    if (level >= fileLevel) {
        pushDroppingOldest(fileStack, record, fileDropped);
    }
    if (level >= stderrLevel) {
        pushDroppingOldest(stderrStack, record, stderrDropped);
    }
    flush(true, false);
    if (level == kFatalLevel) {
        std::exit(kFatalStatus);
    }
}

void NorvaneLogger::flush(bool writeFile, bool writeStderr) {
    Sink fileSink{fileLevel, fileStack, bufferFile, bufferFileLen, filePending, fileDropped};
    Sink stderrSink{stderrLevel,     stderrStack,   bufferStderr, bufferStderrLen,
                    stderrPending,   stderrDropped};

    fillBuffer(fileSink, true);
    if (writeFile) {
        writeBuffer(fileFd, bufferFile, bufferFileLen);
    }
    fillBuffer(stderrSink, false);
    if (writeStderr) {
        writeBuffer(stderrFd, bufferStderr, bufferStderrLen);
    }
}
