#pragma once

// Texts that must stay byte for byte live in golden files under the suite's
// golden/ folder and are compared whole. KESTRO_UPDATE_GOLDEN=1 in the
// environment rewrites the files from what the code prints now; review the
// diff before committing it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Each pair names a text that changes from run to run (a descriptor number, an
// address) and the placeholder that stands for it in the golden file.
using Placeholders = std::vector<std::pair<std::string, std::string>>;

inline std::string withPlaceholders(std::string text, const Placeholders& placeholders) {
    for (const auto& [value, placeholder] : placeholders) {
        for (std::size_t at = text.find(value); at != std::string::npos;
             at = text.find(value, at + placeholder.size())) {
            text.replace(at, value.size(), placeholder);
        }
    }
    return text;
}

inline void expectGolden(const std::string& name, const std::string& printed,
                         const Placeholders& placeholders = {}) {
    const std::string path = std::string(KESTRO_TEST_SOURCE_DIR) + "/golden/" + name;
    const std::string actual = withPlaceholders(printed, placeholders);
    if (std::getenv("KESTRO_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(path, std::ios::binary) << actual;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "no golden file " << path;
    std::ostringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(actual, expected.str()) << "differs from " << path;
}
