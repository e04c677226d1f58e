#include "Console.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "Json.h"

namespace cli {

namespace {

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

void pointAt(int target, int fd) {
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(fd, target);
}

void silence(int target) {
    const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink >= 0) {
        pointAt(target, sink);
        ::close(sink);
    }
}

}  // namespace

Console::Console(const Settings& settings)
    : _json(settings.json),
      _quiet(settings.quiet),
      _linesToErr(false),
      _verbose(settings.verbose),
      _out(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3)),
      _err(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    if (settings.verbose && !settings.quiet) {
        pointAt(STDOUT_FILENO, _err);
        // Line buffering keeps the library's printf lines in step with its stream lines.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    } else {
        silence(STDOUT_FILENO);
    }
    if (settings.quiet) {
        silence(STDERR_FILENO);
    }
}

Console::Console(const Settings& settings, int out, int err)
    : _json(settings.json),
      _quiet(settings.quiet),
      _linesToErr(true),
      _verbose(settings.verbose),
      _out(::fcntl(out, F_DUPFD_CLOEXEC, 3)),
      _err(::fcntl(err, F_DUPFD_CLOEXEC, 3)) {}

Console::~Console() {
    std::cout.flush();
    std::fflush(stdout);
    ::close(_out);
    ::close(_err);
}

void Console::print(std::string_view text) {
    if (!_json) {
        writeAll(_out, text);
    }
}

void Console::printDocument(json_object* document) {
    if (_json) {
        writeAll(_out, serialise(document) + "\n");
        _document.reset(json_object_get(document));
    }
}

void Console::error(std::string_view line) {
    if (!_json) {
        writeAll(_err, std::string(line) + "\n");
    }
}

int Console::fail(json_object* document, const char* key, int code, const std::string& text) {
    setNumber(document, key, code);
    setText(document, "error_text", text);
    printDocument(document);
    error(text);
    return code;
}

bool Console::statusIsTerminal() const {
    return !_quiet && ::isatty(_err) == 1;
}

void Console::status(std::string_view text) {
    writeAll(_err, text);
}

void Console::libraryLines(std::string_view text) {
    if (!_linesToErr) {
        std::cout << text << std::flush;
    } else if (_verbose && !_quiet) {
        writeAll(_err, text);
    }
}

void Console::passOn(std::string_view out, std::string_view err) {
    writeAll(_out, out);
    writeAll(_err, err);
}

bool Console::confirm(std::string_view question) {
    writeAll(_err, std::string(question) + " [Y/n] ");
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        writeAll(_err, "\n");
        return false;
    }
    return answer.empty() || answer == "y" || answer == "Y" || answer == "yes";
}

LibraryErrors::LibraryErrors()
    : _capture(::memfd_create("library-errors", MFD_CLOEXEC)),
      _saved(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    if (_capture >= 0) {
        ::dup2(_capture, STDERR_FILENO);
    }
}

LibraryErrors::~LibraryErrors() {
    ::dup2(_saved, STDERR_FILENO);
    ::close(_saved);
    if (_capture >= 0) {
        ::close(_capture);
    }
}

std::vector<std::string> LibraryErrors::lines() const {
    std::vector<std::string> lines;
    if (_capture < 0) {
        return lines;
    }
    std::string text;
    char buffer[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(_capture, buffer, sizeof buffer, offset);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace cli
