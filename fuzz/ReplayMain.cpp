// Runs a fuzz target once on every file it is given (files, or folders whose
// regular files are taken in name order), so that a committed corpus replays
// as an ordinary test with any compiler. A crash or a sanitizer report ends
// the process; otherwise it prints how many inputs ran and exits 0, or 1 when
// an argument cannot be read or holds no input at all.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool readFile(const fs::path& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::vector<fs::path> inputsOf(const fs::path& argument, std::error_code& error) {
    if (!fs::is_directory(argument, error)) {
        return {argument};
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(argument, error)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool replay(const fs::path& file) {
    std::vector<uint8_t> bytes;
    if (!readFile(file, bytes)) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return false;
    }
    // An empty vector may hand out a null pointer; libFuzzer never does.
    static const uint8_t kNothing = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    size_t ran = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        const std::vector<fs::path> files = inputsOf(argv[i], error);
        if (error) {
            std::fprintf(stderr, "replay: cannot list %s: %s\n", argv[i], error.message().c_str());
            ok = false;
            continue;
        }
        for (const fs::path& file : files) {
            if (replay(file)) {
                ++ran;
            } else {
                ok = false;
            }
        }
    }
    std::printf("replay: %zu inputs run\n", ran);
    return ok && ran > 0 ? 0 : 1;
}
