// Mapped reading of image files: the windows hand out the file's own bytes,
// and a file cut short by someone else turns into a failed read (and zeros
// through the store), never into a SIGBUS that ends the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "formats/formats.h"
#include "ramimage/fileio.h"
#include "ramimage/fileview.h"
#include "support.h"

namespace {

using zarn::FileView;

unsigned char byteAt(int64_t i) { return static_cast<unsigned char>((i * 7919) >> 3); }

std::string makeFile(int64_t size) {
    std::string path = testsupport::scratchDir() + "/data";
    zarn::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    std::vector<unsigned char> buf(static_cast<size_t>(size));
    for (int64_t i = 0; i < size; ++i) buf[static_cast<size_t>(i)] = byteAt(i);
    EXPECT_TRUE(zarn::writeAt(fd.get(), buf.data(), buf.size(), 0));
    return path;
}

// Sums n bytes at p; run under the guard.
struct Sum {
    const unsigned char* p;
    int64_t n;
    uint64_t total = 0;
    void operator()() {
        for (int64_t i = 0; i < n; i += 64) total += p[i];
    }
};

TEST(FileView, HandsOutTheFilesBytesAcrossWindows) {
    const int64_t size = 2 * FileView::kMaxPiece + 12345;
    std::string path = makeFile(size);
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    FileView view;
    // Pieces at the start, straddling each window step, and at the very end,
    // asked for out of order so that windows are made and reused.
    for (int64_t off : {int64_t{0}, FileView::kMaxPiece - 100, size - 1000, FileView::kMaxPiece * 2 - 7, int64_t{5},
                        size - FileView::kMaxPiece}) {
        const int64_t n = std::min<int64_t>(1000, size - off);
        const unsigned char* p = view.at(fd.get(), off, n);
        ASSERT_NE(p, nullptr) << off;
        for (int64_t i = 0; i < n; ++i) ASSERT_EQ(p[i], byteAt(off + i)) << off + i;
    }
    EXPECT_NE(view.at(fd.get(), 0, FileView::kMaxPiece), nullptr);
    EXPECT_EQ(view.at(fd.get(), 0, FileView::kMaxPiece + 1), nullptr);  // longer than a window
    EXPECT_EQ(view.at(fd.get(), size - 10, 11), nullptr);               // past the end
    EXPECT_EQ(view.at(fd.get(), -1, 1), nullptr);
    // A pipe cannot be mapped: the caller falls back to reading.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    EXPECT_EQ(view.at(pipeFds[0], 0, 1), nullptr);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(FileView, AFileCutShortFailsTheReadAndTheGuardStaysArmed) {
    const int64_t size = 1 << 20;
    std::string path = makeFile(size);
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    FileView view;
    const unsigned char* p = view.at(fd.get(), 0, size);
    ASSERT_NE(p, nullptr);
    Sum whole{p, size};
    EXPECT_TRUE(zarn::guardedRead(whole));
    EXPECT_GT(whole.total, 0u);
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    // Twice: leaving the handler must not leave SIGBUS blocked.
    for (int round = 0; round < 2; ++round) {
        Sum cut{p, size};
        EXPECT_FALSE(zarn::guardedRead(cut)) << round;
    }
    Sum head{p, 4096};
    EXPECT_TRUE(zarn::guardedRead(head));
    // The view notices the shorter file once asked past it.
    view.reset();
    EXPECT_EQ(view.at(fd.get(), 0, size), nullptr);
    EXPECT_NE(view.at(fd.get(), 0, 4096), nullptr);
}

// A SIGBUS outside a guarded read still reaches the handler that was there
// before, both when raised and when a mapped page is missing.
TEST(FileView, OtherFaultsGoToThePreviousHandler) {
    std::string path = makeFile(1 << 16);
    for (bool fault : {false, true}) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            struct sigaction sa {};
            sa.sa_handler = [](int) { ::_exit(42); };
            sigemptyset(&sa.sa_mask);
            ::sigaction(SIGBUS, &sa, nullptr);
            int fd = ::open(path.c_str(), O_RDONLY);
            FileView view;
            const unsigned char* p = view.at(fd, 0, 1 << 16);
            Sum s{p, 1 << 16};
            if (!p || !zarn::guardedRead(s)) ::_exit(1);  // installs the guard's handler
            if (fault) {
                if (::truncate(path.c_str(), 0) != 0) ::_exit(2);
                volatile unsigned char c = p[8192];
                (void)c;
            } else {
                ::raise(SIGBUS);
            }
            ::_exit(3);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "fault " << fault;
        EXPECT_EQ(WEXITSTATUS(status), 42) << "fault " << fault;
    }
}

// Through the store: a TIFF cut short while open reads zeros where its data
// went, for uncompressed strips and tiles and for PackBits.
TEST(FileView, TiffCutShortWhileOpenReadsZeros) {
    for (const char* name : {"rgb_be_r3", "rgb_le_t16", "rgb_be_t16_pb", "u16_be_pb_r3", "u8_le_r1"}) {
        SCOPED_TRACE(name);
        std::string path = testsupport::scratchDir() + "/" + name + ".tif";
        std::filesystem::copy_file(testsupport::fixtureDir() + "/tiff/" + name + ".tif", path,
                                   std::filesystem::copy_options::overwrite_existing);
        int err = 0;
        RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
        ASSERT_NE(img, nullptr);
        const ImageHead& h = img->head;
        img->getLineProc(img, 0, 0, 1);  // maps the file
        ASSERT_EQ(::truncate(path.c_str(), 0), 0);
        const int64_t lineBytes = pixelLineBytes(h.pixel, h.columns);
        for (int b = 0; b < h.nbands; ++b) {
            const unsigned char* line = img->getLineProc(img, h.rows - 1, b, 1);
            ASSERT_NE(line, nullptr);
            for (int64_t i = 0; i < lineBytes; ++i) ASSERT_EQ(line[i], 0) << "band " << b << " byte " << i;
        }
        closeRAMImage(img, nullptr);
    }
    testsupport::takeOutput();
}

}  // namespace
