// Runs a fuzz target once on each input it is given, without libFuzzer, so
// that every build with tests replays the committed corpora and an input that
// once failed keeps passing. A failed check (abort), a crash or a sanitizer
// report ends the program with an error; the last input named on standard
// error is the one that did it.
//
//   replay_<target> FILE_OR_FOLDER...    (folders are read recursively)

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional in a target; libFuzzer calls it once, before the first input.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

// A folder's files in name order, so that a replay runs the same way each time.
bool CollectInputs(const char* arg, std::vector<fs::path>& inputs) {
    const fs::path path(arg);
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) {
        inputs.push_back(path);
        return true;
    }
    if (!fs::is_directory(path, ec)) {
        std::fprintf(stderr, "replay: %s is neither a file nor a folder\n", arg);
        return false;
    }
    std::vector<fs::path> found;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec))
            found.push_back(it->path());
    }
    if (ec) {
        std::fprintf(stderr, "replay: cannot list %s: %s\n", arg, ec.message().c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    inputs.insert(inputs.end(), found.begin(), found.end());
    return true;
}

// The input in a buffer of exactly its size, as libFuzzer hands it over, so
// that AddressSanitizer sees a read past its end.
bool ReadInput(const fs::path& path, std::unique_ptr<uint8_t[]>& data, size_t& size) {
    std::error_code ec;
    const uintmax_t length = fs::file_size(path, ec);
    if (ec) {
        std::fprintf(stderr, "replay: cannot read %s: %s\n", path.string().c_str(),
                     ec.message().c_str());
        return false;
    }
    size = static_cast<size_t>(length);
    data = std::make_unique<uint8_t[]>(size);
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(data.get()), static_cast<std::streamsize>(size))) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.string().c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!CollectInputs(argv[i], inputs))
            return 1;
    }
    // An empty or misplaced corpus must not pass as a clean replay.
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no input files found\n");
        return 1;
    }
    for (const fs::path& input : inputs) {
        std::unique_ptr<uint8_t[]> data;
        size_t size = 0;
        if (!ReadInput(input, data, size))
            return 1;
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.string().c_str(), size);
        std::fflush(stderr);
        const int result = LLVMFuzzerTestOneInput(data.get(), size);
        if (result != 0 && result != -1) {
            std::fprintf(stderr, "replay: the target returned %d for %s\n", result,
                         input.string().c_str());
            return 1;
        }
    }
    std::fprintf(stderr, "replay: every input passed\n");
    return 0;
}
