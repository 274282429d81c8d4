// Runs a fuzz target's entry point once over every file of the folders (or
// the files) named on the command line: the normal build's stand-in for
// libFuzzer, so each corpus and every input that once crashed a target are
// replayed by the test run without clang. A crash or a failed check of the
// target aborts the run; the input at fault is named first.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Only some targets set up state once; the others leave it undefined.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

std::string g_current;

void NameTheInput(int sig) {
    const char head[] = "\nfuzz replay: input at fault: ";
    (void)!::write(2, head, sizeof head - 1);
    (void)!::write(2, g_current.data(), g_current.size());
    (void)!::write(2, "\n", 1);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        fs::path p = argv[i];
        if (fs::is_directory(p)) {
            for (const auto& e : fs::recursive_directory_iterator(p))
                if (e.is_regular_file()) inputs.push_back(e.path());
        } else if (fs::is_regular_file(p)) {
            inputs.push_back(p);
        } else {
            std::fprintf(stderr, "fuzz replay: no such corpus: %s\n", argv[i]);
            return 2;
        }
    }
    // A replay over nothing would pass while checking nothing.
    if (inputs.empty()) {
        std::fprintf(stderr, "fuzz replay: no inputs\n");
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        std::signal(sig, NameTheInput);

    size_t bytes = 0;
    for (const auto& p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::vector<char> text((std::istreambuf_iterator<char>(in)), {});
        // A private copy of exactly the input's size, as libFuzzer hands it over.
        auto* data = static_cast<uint8_t*>(std::malloc(text.size() ? text.size() : 1));
        std::memcpy(data, text.data(), text.size());
        g_current = p.string();
        LLVMFuzzerTestOneInput(data, text.size());
        std::free(data);
        bytes += text.size();
    }
    std::printf("fuzz replay: %zu inputs (%zu bytes) passed\n", inputs.size(), bytes);
    return 0;
}
