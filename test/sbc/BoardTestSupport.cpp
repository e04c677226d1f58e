#include "BoardTestSupport.h"

#include <sstream>

#include "Bed.h"
#include "NorvaneI2CNode.h"
#include "TempFiles.h"

void QuietBoardRelease::operator()(SBC* board) const {
    captureConsole([board] { delete board; });
}

BoardPtr idleBoard() {
    BoardPtr board;
    captureConsole([&board] { board.reset(new SBC(kMissingPath)); });
    board->_error = OKEY;
    return board;
}

BoardPtr bootedBoard(const std::string& configJson, Console* console) {
    const TempDir folder;
    writeFile(folder.path() / "config.json", configJson);
    BoardPtr board;
    const Console written =
        captureConsole([&] { board.reset(new SBC((folder.path() / "config.json").string())); });
    if (console != nullptr) {
        *console = written;
    }
    return board;
}

Console destroyed(BoardPtr& board) {
    SBC* raw = board.release();
    return captureConsole([raw] { delete raw; });
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> linesStartingWith(const std::string& text,
                                           std::initializer_list<const char*> prefixes) {
    std::vector<std::string> picked;
    for (const std::string& line : linesOf(text)) {
        for (const char* prefix : prefixes) {
            if (line.starts_with(prefix)) {
                picked.push_back(line);
                break;
            }
        }
    }
    return picked;
}

json_object* deviceDocument(const std::string& id, int address) {
    json_object* config = json_object_new_object();
    json_object_object_add(config, "addr", json_object_new_int(address));
    json_object* document = json_object_new_object();
    json_object_object_add(document, "id", json_object_new_string(id.c_str()));
    json_object_object_add(document, "config", config);
    return document;
}

std::vector<std::string> lineTrace() {
    return bed::Bed::instance().trace({bed::EventKind::GpioRequest, bed::EventKind::GpioSet,
                                       bed::EventKind::GpioRelease, bed::EventKind::Sleep});
}

std::string syncHeaderOf(const SBC& board, const std::string& bus, const std::string& id) {
    const NorvaneI2CNode* node = board._nodes.at(bus).at(id);
    std::ostringstream line;
    line << "timesync for bus " << bus << " id " << id << " NorvaneI2CNode memAddr " << node
         << " addr " << unsigned(node->addr);
    return line.str();
}
