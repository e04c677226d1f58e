// The script that stamps each build with its time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TempFiles.h"

namespace {

// Runs the stamp script under `environment` (NAME=value ...).
void stamp(const std::filesystem::path& output, const std::string& environment) {
    const std::string cmake = std::string("'") + KESTRO_CMAKE_COMMAND + "'";
    const std::string command = cmake + " -E env " + environment + " " + cmake +
                                " '-DOUTPUT=" + output.string() + "' -P '" +
                                KESTRO_BUILD_STAMP_SCRIPT + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(BuildStamp, UnderSourceDateEpochIsThatMomentInUtcWithTheDayPaddedToTwoDigits) {
    const TempDir dir;
    const auto source = dir.path() / "BuildStamp.cpp";
    stamp(source, "SOURCE_DATE_EPOCH=1750674733 TZ=JST-9");
    EXPECT_NE(readFile(source).find("\"Mon Jun 23 10:32:13 2025\""), std::string::npos);
    stamp(source, "SOURCE_DATE_EPOCH=1735787045");
    EXPECT_NE(readFile(source).find("\"Thu Jan 02 03:04:05 2025\""), std::string::npos);
}

TEST(BuildStamp, LeavesTheSourceUntouchedWhenTheStampIsUnchanged) {
    const TempDir dir;
    const auto source = dir.path() / "BuildStamp.cpp";
    stamp(source, "SOURCE_DATE_EPOCH=1750674733");
    const auto longAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(48);
    std::filesystem::last_write_time(source, longAgo);
    stamp(source, "SOURCE_DATE_EPOCH=1750674733");
    EXPECT_EQ(std::filesystem::last_write_time(source), longAgo);
    stamp(source, "SOURCE_DATE_EPOCH=1750674734");
    EXPECT_NE(std::filesystem::last_write_time(source), longAgo);
}

}  // namespace
