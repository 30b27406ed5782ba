// Replays inputs through a fuzz harness without libFuzzer, so that the
// committed corpus runs as an ordinary test in every build (plain, and under
// the sanitizers). Arguments are files or directories (read recursively, in
// name order). Exits 0 when every input ran, 1 when an argument cannot be
// read or holds no input; a finding aborts as it would under libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool Collect(const fs::path& path, std::vector<fs::path>* files) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
        for (fs::recursive_directory_iterator it(path, error), end; !error && it != end; it.increment(error))
            if (it->is_regular_file()) files->push_back(it->path());
        return !error;
    }
    if (fs::is_regular_file(path, error)) {
        files->push_back(path);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::printf("usage: %s file-or-directory...\nRuns the fuzz target once on every file given or found in the "
                    "directories given (a corpus); exits 1 when one cannot be read.\n", argv[0]);
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s file-or-directory...\n", argv[0]);
        return 1;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!Collect(argv[i], &files)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 1;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "%s: no input found\n", argv[0]);
        return 1;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
            return 1;
        }
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
