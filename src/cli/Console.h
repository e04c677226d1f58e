#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "JsonDocument.h"

namespace cli {

// What the global options ask of every subcommand.
struct Settings {
    std::string bus = "/dev/i2c-3";
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool yes = false;
    // node, put and get: reply polling of every node of the call (NorvaneI2CNode::replyPollUs).
    uint32_t replyPollUs = 0;
};

// The tool's own channels, kept apart from the library's console lines.
//
// The library writes its protocol lines on standard output and its error lines on standard
// error. The tool keeps copies of both original descriptors for itself and points descriptor 1
// at standard error (--verbose) or nowhere, and descriptor 2 nowhere under --quiet, so standard
// output carries only what the tool prints.
class Console {
  public:
    explicit Console(const Settings& settings);
    // Writes to copies of `out` and `err` (a pipe, a memory file) and leaves the process's own
    // descriptors as they are; the library's console lines go to `err` under --verbose.
    Console(const Settings& settings, int out, int err);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool json() const { return _json; }
    bool quiet() const { return _quiet; }

    // Result text for a person; nothing in JSON mode.
    void print(std::string_view text);
    // The one JSON document of a --json run; nothing otherwise.
    void printDocument(json_object* document);
    // A message of the tool's own on standard error (in JSON mode the document carries it).
    void error(std::string_view line);
    // Ends a failed run: `key` ("status" or "error") and "error_text" into the document, the
    // document out, the text on standard error; returns `code`.
    int fail(json_object* document, const char* key, int code, const std::string& text);

    // Live status (a progress bar) goes to standard error when that is a terminal.
    bool statusIsTerminal() const;
    void status(std::string_view text);

    // The library's console lines of an operation: standard error under --verbose, nowhere
    // otherwise.
    void libraryLines(std::string_view text);
    // Text that is already what the tool prints, as it came.
    void passOn(std::string_view out, std::string_view err);
    // The last document printDocument wrote; null when none was.
    json_object* document() const { return _document.get(); }

    // Asks on standard error and reads the answer from standard input; only "y", "yes" or an
    // empty answer agree.
    bool confirm(std::string_view question);

  private:
    bool _json;
    bool _quiet;
    // Library lines to _err, instead of to descriptor 1 where the tool's own constructor
    // pointed them.
    bool _linesToErr;
    bool _verbose;
    int _out;
    int _err;
    JsonDocument _document;
};

// Collects what the library writes on standard error while it lives, instead of showing it.
class LibraryErrors {
  public:
    LibraryErrors();
    ~LibraryErrors();
    LibraryErrors(const LibraryErrors&) = delete;
    LibraryErrors& operator=(const LibraryErrors&) = delete;

    // The lines written so far, without their line ends.
    std::vector<std::string> lines() const;

  private:
    int _capture;
    int _saved;
};

}  // namespace cli
