// The script that stamps each build with its time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "IsolatedRun.h"

namespace {

// Runs the stamp script under `environment` (NAME=value or --unset=NAME).
void stamp(const std::filesystem::path& output, const std::vector<std::string>& environment) {
    const ChildOutcome run = runIsolated([&] {
        const std::string outputDefinition = "-DOUTPUT=" + output.string();
        std::vector<const char*> argv = {KESTRO_CMAKE_COMMAND, "-E", "env"};
        for (const std::string& setting : environment) {
            argv.push_back(setting.c_str());
        }
        for (const char* arg :
             {KESTRO_CMAKE_COMMAND, outputDefinition.c_str(), "-P", KESTRO_BUILD_STAMP_SCRIPT}) {
            argv.push_back(arg);
        }
        argv.push_back(nullptr);
        execv(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    });
    ASSERT_EQ(run.status, 0) << run.out << run.err;
}

class BuildStamp : public testing::Test {
  protected:
    std::filesystem::path source() const { return _dir.path() / "BuildStamp.cpp"; }

  private:
    TempDir _dir;
};

TEST_F(BuildStamp, UnderSourceDateEpochIsThatMomentInUtcWithTheDayPaddedToTwoDigits) {
    stamp(source(), {"SOURCE_DATE_EPOCH=1750674733", "TZ=JST-9"});
    EXPECT_NE(readFile(source()).find("\"Mon Jun 23 10:32:13 2025\""), std::string::npos);
    stamp(source(), {"SOURCE_DATE_EPOCH=1735787045"});
    EXPECT_NE(readFile(source()).find("\"Thu Jan 02 03:04:05 2025\""), std::string::npos);
}

TEST_F(BuildStamp, LeavesTheSourceUntouchedWhenTheStampIsUnchanged) {
    stamp(source(), {"SOURCE_DATE_EPOCH=1750674733"});
    const auto longAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(48);
    std::filesystem::last_write_time(source(), longAgo);
    stamp(source(), {"SOURCE_DATE_EPOCH=1750674733"});
    EXPECT_EQ(std::filesystem::last_write_time(source()), longAgo);
    stamp(source(), {"SOURCE_DATE_EPOCH=1750674734"});
    EXPECT_NE(std::filesystem::last_write_time(source()), longAgo);
}

}  // namespace
