// Replays fuzz inputs: every file under the directories given (recursively)
// is fed once to the target.  A crash or sanitizer report fails the run; each
// input must finish within 5 seconds.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    int count = 0, slow = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (!fs::exists(argv[i], ec)) continue;
        for (auto& e : fs::recursive_directory_iterator(argv[i], ec)) {
            if (!e.is_regular_file()) continue;
            std::ifstream in(e.path(), std::ios::binary);
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            auto t0 = std::chrono::steady_clock::now();
            LLVMFuzzerTestOneInput(data.data(), data.size());
            double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (s > 5.0) {
                std::printf("slow input (%.1f s): %s\n", s, e.path().c_str());
                ++slow;
            }
            ++count;
        }
    }
    std::printf("%d inputs replayed, %d slow\n", count, slow);
    return slow ? 1 : 0;
}
