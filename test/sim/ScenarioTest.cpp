#include <gtest/gtest.h>

#include <sstream>

#include "SimBoardTest.h"
#include "Golden.h"
#include "Scenario.h"
#include "TempFiles.h"

namespace sim {
namespace {

class ScenarioFile : public SimBoardTest {};

// Each line of bad-scenarios.txt breaks one rule; its error names the key and what is wrong,
// in one line.
TEST_F(ScenarioFile, EachBadOneIsRefusedWithOneLineNamingTheKeyAndWhatIsWrong) {
    const TempDir folder;
    const std::string path = (folder.path() / "scenario.json").string();
    std::istringstream scenarios(readFile(KESTRO_TEST_SOURCE_DIR "/bad-scenarios.txt"));
    std::string errors;
    for (std::string scenario; std::getline(scenarios, scenario);) {
        writeFile(path, scenario);
        try {
            loadScenario(path, simBoard(), 0);
            errors += "accepted\n";
        } catch (const ScenarioError& e) {
            errors += e.what() + std::string("\n");
        }
    }
    expectGolden("bad-scenario-errors.txt", errors, {{path, "FILE"}});
}

}  // namespace
}  // namespace sim
