// Element-table parsing of a large DICOM data set against dcmdump reading
// and listing the same file to /dev/null.  The file is made at run time with
// dump2dcm: 10,000 elements of assorted VRs, some inside sequences.
//
// Two ratios, best of several runs each (the machine is shared):
//   process:  CPU time of this program parsing once as its own process /
//             CPU time of dcmdump
//   parse:    the parse alone (in this process) / (dcmdump - dcmdump on a
//             one-element file), which leaves out both start-ups
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/dicom.h"
#include "ramimage/fileio.h"

namespace {

double cpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// CPU time (user + system) of one run of argv with its output sent to
// /dev/null: on a shared machine it varies far less than the wall time.
double runOnce(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    double t = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "dicom_bench: %s failed\n", args[0].c_str());
        std::exit(1);
    }
    return t;
}

double best(int reps, const std::vector<std::string>& args) {
    double b = 1e9;
    for (int i = 0; i < reps; ++i) b = std::min(b, runOnce(args));
    return b;
}

size_t parseFile(const char* path) {
    zarn::UniqueFd fd(open(path, O_RDONLY));
    std::unique_ptr<DicomTable> t;
    if (!fd || parseDicom(fd.get(), t) != DicomParse::Ok) return 0;
    size_t n = t->size();
    for (const auto& kv : t->elements) n += kv.second->chain.size();
    return n;
}

bool makeDataSet(const std::string& dir, int elements, const std::string& out) {
    std::string dump = dir + "/dicom_bench.dump";
    FILE* f = std::fopen(dump.c_str(), "w");
    if (!f) return false;
    std::fprintf(f, "(0008,0005) CS [ISO_IR 100]\n");
    int written = 1;
    // Private groups of 250 elements each, every tenth group a sequence of
    // items, until the count is reached.
    for (int g = 0x0009; written < elements; g += 2) {
        std::fprintf(f, "(%04x,0010) LO [BENCH]\n", g);
        ++written;
        if (g % 20 == 19) {
            std::fprintf(f, "(%04x,1000) SQ (Sequence)\n", g);
            ++written;
            for (int item = 0; item < 40 && written < elements; ++item) {
                std::fprintf(f, "  (fffe,e000) na (Item)\n");
                for (int k = 0; k < 4 && written < elements; ++k, ++written)
                    std::fprintf(f, "    (%04x,%04x) DS [%d.%d\\%d]\n", g, 0x1001 + k, item, k, item * k);
                std::fprintf(f, "  (fffe,e00d) na (ItemDelimitationItem)\n");
            }
            std::fprintf(f, "(fffe,e0dd) na (SequenceDelimitationItem)\n");
            continue;
        }
        for (int e = 0x1001; e < 0x1001 + 250 && written < elements; ++e, ++written) {
            switch (e % 4) {
            case 0: std::fprintf(f, "(%04x,%04x) LO [value %d of group %04x]\n", g, e, e, g); break;
            case 1: std::fprintf(f, "(%04x,%04x) US %d\n", g, e, e & 0xFFFF); break;
            case 2: std::fprintf(f, "(%04x,%04x) DS [%d.25\\%d.5]\n", g, e, e, g); break;
            default: std::fprintf(f, "(%04x,%04x) UI [1.2.840.%d.%d]\n", g, e, g, e); break;
            }
        }
    }
    std::fclose(f);
    std::string cmd = "dump2dcm -q -F +ti " + dump + " " + out;
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--parse") return parseFile(argv[2]) ? 0 : 1;
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    std::string big = dir + "/dicom_bench_10k.dcm", tiny = dir + "/dicom_bench_1.dcm";
    if (!makeDataSet(dir, 10000, big) || !makeDataSet(dir, 1, tiny)) {
        std::fprintf(stderr, "dicom_bench: dump2dcm could not make the data set\n");
        return 1;
    }
    size_t n = parseFile(big.c_str());
    if (n < 10000) {
        std::fprintf(stderr, "dicom_bench: parsed only %zu records\n", n);
        return 1;
    }
    const int reps = 15;
    double dcmdump = best(reps, {"dcmdump", big});
    double dcmdumpStart = best(reps, {"dcmdump", tiny});
    double ours = best(reps, {argv[0], "--parse", big});
    double parse = 1e9;
    for (int i = 0; i < reps; ++i) {
        double t0 = cpuNow();
        parseFile(big.c_str());
        parse = std::min(parse, cpuNow() - t0);
    }
    double dcmdumpWork = std::max(dcmdump - dcmdumpStart, 1e-6);
    std::printf("dicom: 10,000-element data set (%zu records)\n", n);
    std::printf("dicom: process ratio %.3f (CPU of a parsing process / dcmdump > /dev/null; target <= 1.5)\n",
                ours / dcmdump);
    std::printf("dicom: parse ratio   %.3f (parse alone / dcmdump less its start-up)\n", parse / dcmdumpWork);
    std::remove(big.c_str());
    std::remove(tiny.c_str());
    std::remove((dir + "/dicom_bench.dump").c_str());
    return ours / dcmdump <= 1.5 ? 0 : 1;
}
