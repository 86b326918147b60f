#include "support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "init/output.h"

namespace testsupport {

namespace {
std::string gOutput;
void captureSink(int, const char* text, size_t n) { gOutput.append(text, n); }
struct InstallSink {
    InstallSink() { zarn::setOutputSink(captureSink); }
} installSink;
}  // namespace

std::string takeOutput() {
    std::string s;
    s.swap(gOutput);
    return s;
}

std::string fixtureDir() {
    const char* d = std::getenv("ZARN_FIXTURES");
    return d ? d : "fixtures";
}

std::string scratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "test";
    auto dir = std::filesystem::temp_directory_path() / ("zarn-" + std::to_string(::getpid())) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<unsigned char>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::string run(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = ::pclose(p);
    if (status) *status = st;
    return out;
}

}  // namespace testsupport
