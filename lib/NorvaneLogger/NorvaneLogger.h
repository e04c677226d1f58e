#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

// One record: its level and its finished CSV text, line feed included.
using LogRecord = std::pair<int32_t, std::string>;

// Process-wide CSV logger with two sinks: the log file and standard error.
//
// Each record "tag,millis,file,line,function,message\n" is printed on standard
// output at once and handed to every sink whose level it reaches. A sink
// collects records in a fixed buffer and writes it with one write() per flush;
// records that do not fit wait on the sink's stack and leave it newest first.
// A stack keeps at most kMaxStackRecords, dropping the oldest; the next record
// that reaches the sink is then preceded by a "[warn]" record saying how many
// were dropped.
//
// Everything is static and unguarded: the logger belongs to a single thread.
// The state is public so that the owner can inspect and adjust it directly.
class NorvaneLogger {
  public:
#if defined(__cpp_lib_source_location)
    using Location = std::source_location;
#else
    // Some toolchains (clang 14 with libstdc++ 12, used for fuzzing) lack
    // std::source_location but have the builtins behind it; this stands in
    // with the same interface.
    class Location {
      public:
        static constexpr Location current(const char* file = __builtin_FILE(),
                                          const char* function = __builtin_FUNCTION(),
                                          uint_least32_t line = __builtin_LINE(),
                                          uint_least32_t column = __builtin_COLUMN()) noexcept {
            Location here;
            here._file = file;
            here._function = function;
            here._line = line;
            here._column = column;
            return here;
        }
        constexpr const char* file_name() const noexcept { return _file; }
        constexpr const char* function_name() const noexcept { return _function; }
        constexpr uint_least32_t line() const noexcept { return _line; }
        constexpr uint_least32_t column() const noexcept { return _column; }

      private:
        const char* _file = "";
        const char* _function = "";
        uint_least32_t _line = 0;
        uint_least32_t _column = 0;
    };
#endif

    static constexpr int32_t kBufferSize = 8192;
    // The longest record text, line feed included, that still leaves room for
    // the extra line feed and one free byte in an empty sink buffer.
    static constexpr int32_t kMaxRecordLength = kBufferSize - 2;
    // A sink that cannot take records keeps at most this many waiting.
    static constexpr std::size_t kMaxStackRecords = 1000;
    static constexpr int32_t kInfoLevel = 3;
    static constexpr int32_t kFatalLevel = 5;

    static int32_t fileLevel;
    static int32_t fileFd;
    static int32_t stderrLevel;
    static int32_t stderrFd;
    static int32_t settingA;
    static int32_t settingB;
    static int32_t settingC;
    static std::deque<LogRecord> fileStack;
    static std::deque<LogRecord> stderrStack;
    static char bufferFile[kBufferSize];
    static int32_t bufferFileLen;
    static char bufferStderr[kBufferSize];
    static int32_t bufferStderrLen;
    static std::string logDir;

    // Checks the settings, opens logDir + "NorvaneLogger.logs" for appending
    // and writes the first record. Refusals go to standard error and set the
    // error flag, after which every later init is refused as well.
    static void init();

    // Returns the logger to its state at program start: closes the log
    // descriptor unless it is a standard stream, and forgets every waiting
    // record and a refused init.
    static void reset();

    // Nonzero once init has refused.
    static int32_t getError();

    // Writes a level-3 "[info]" record. The location defaults to the caller's;
    // with arguments it comes first (Location is std::source_location):
    //   NorvaneLogger::info("plain message");
    //   NorvaneLogger::info("%d nodes on %s", std::source_location::current(), count, bus);
    // The arguments go through C varargs, so they must be what printf accepts.
    template <typename... Args>
    static void info(const char* format, const Location& location = Location::current(),
                     Args... args) {
        log(kInfoLevel, "[info]", format, &location, args...);
    }

    // The general record writer. Without a location the file and function
    // fields are empty and the line is 0. Level 5 ends the process with status
    // 1 once the record is handled; a message that cannot be expanded ends it
    // with status 11.
    static void log(int32_t level, const char* tag, const char* format, const Location* location,
                    ...);

    // Moves waiting records into both sink buffers, then writes the buffers
    // whose flag is set.
    static void flush(bool writeFile, bool writeStderr);

  private:
    static int32_t error;
};
