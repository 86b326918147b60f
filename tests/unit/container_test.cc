// Script library containers: the writer's zlib stream checked by python's
// zlib after unscrambling with the key, python-built containers read back,
// and hostile headers and payloads refused without crashing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "calc/container.h"
#include "calc/correl.h"
#include "calc/shuffle.h"
#include "support.h"

namespace {

std::string keyHex() {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t v : zarn::compScrambleTable()) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

// Python program reading or writing a container with the key given as hex.
const char* kPython = R"PY(
import sys, zlib
mode, path, key = sys.argv[1], sys.argv[2], bytes.fromhex(sys.argv[3])
inv = bytes(key.index(i) for i in range(256))
if mode == 'read':
    d = open(path, 'rb').read()
    assert d[:8] == b'SCRBCOMP'
    n = int(d[9:21].split(b'\0')[0]); L = int(d[21:33].split(b'\0')[0])
    p = d[33:33 + n]
    if d[8] == 1:
        p = bytes(inv[b] for b in p)
    s = zlib.decompress(p)
    assert len(s) == L and s[-1] == 0, (len(s), L)
    sys.stdout.buffer.write(s[:-1])
else:
    text = sys.stdin.buffer.read() + b'\0'
    p = zlib.compress(text, 9)
    flag = 1 if mode == 'write1' else 0
    if flag:
        p = bytes(key[b] for b in p)
    h = b'SCRBCOMP' + bytes([flag]) + str(len(p)).encode().ljust(12, b'\0') + str(len(text)).encode().ljust(12, b'\0')
    open(path, 'wb').write(h + p)
)PY";

std::string python(const std::string& dir, const std::string& args, const std::string& stdinText = "") {
    std::string prog = dir + "/oracle.py", in = dir + "/oracle.in";
    testsupport::writeFile(prog, std::vector<unsigned char>(kPython, kPython + std::strlen(kPython)));
    testsupport::writeFile(in, std::vector<unsigned char>(stdinText.begin(), stdinText.end()));
    int status = 0;
    std::string out = testsupport::run("/usr/bin/python3 " + prog + " " + args + " " + keyHex() + " < " + in, &status);
    EXPECT_EQ(status, 0) << args;
    return out;
}

zarn::ContainerResult readFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    zarn::ContainerResult r = zarn::readContainerFd(fd);
    ::close(fd);
    return r;
}

std::vector<uint8_t> pack(const std::string& s) {
    std::string err;
    return zarn::packContainer(s, &err);
}

void putField(std::vector<uint8_t>& c, size_t at, const char* text) {
    std::memset(c.data() + at, 0, zarn::kContainerFieldSize);
    std::memcpy(c.data() + at, text, std::min(std::strlen(text), zarn::kContainerFieldSize));
}

}  // namespace

TEST(Container, KeyIsAPermutationAndScrambleRoundTrips) {
    bool seen[256] = {};
    for (uint8_t v : zarn::compScrambleTable()) seen[v] = true;
    for (bool s : seen) EXPECT_TRUE(s);
    uint8_t buf[256];
    for (int i = 0; i < 256; ++i) buf[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(zarn::compScramble(buf, 256, 0), 1);
    EXPECT_EQ(zarn::compScramble(buf, 256, 1), 0);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(buf[i], i);
    EXPECT_EQ(zarn::compScramble(buf, 256, 7), 7);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(buf[i], i);
}

TEST(Container, WriterOutputDecodesWithPythonZlib) {
    std::string dir = testsupport::scratchDir();
    std::string script = "proc hello {} {return \"hi {there}\"}\n# \xc3\xa9t\xc3\xa9\n";
    for (int i = 0; i < 200; ++i) script += "set v" + std::to_string(i) + " " + std::to_string(i * i) + "\n";
    std::string path = dir + "/a.lib", error;
    double ratio = 0;
    ASSERT_TRUE(zarn::writeContainerFile(path.c_str(), script, &ratio, &error)) << error;
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_GT(ratio, 0);
    EXPECT_LT(ratio, 1);
    EXPECT_EQ(python(dir, "read " + path), script);
}

TEST(Container, EmptyScriptStoresTheTerminatorAlone) {
    std::vector<uint8_t> c = pack("");
    ASSERT_GE(c.size(), zarn::kContainerHeaderSize);
    EXPECT_STREQ(reinterpret_cast<const char*>(c.data() + zarn::kContainerScriptField), "1");
    EXPECT_EQ(c[zarn::kContainerFlagOffset], 1);
    zarn::ContainerResult r = zarn::unpackContainer(c.data(), c.size());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.script, "");
}

TEST(Container, PythonBuiltContainersAreRead) {
    std::string dir = testsupport::scratchDir();
    std::string script = "set x {a b}\nputs $x\n";
    python(dir, "write1 " + dir + "/s.lib", script);
    python(dir, "write0 " + dir + "/p.lib", script);
    zarn::ContainerResult s = readFile(dir + "/s.lib");
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.script, script);
    // Flag 0: the payload is a plain zlib stream.
    zarn::ContainerResult p = readFile(dir + "/p.lib");
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.script, script);
}

TEST(Container, HostileHeadersAreRefusedBeforeAllocating) {
    std::vector<uint8_t> good = pack("puts hello");
    ASSERT_TRUE(zarn::unpackContainer(good.data(), good.size()).ok);
    const char* badPayload[] = {"", "0", "-5", "12x", "99999999999", "4000000000"};
    for (const char* f : badPayload) {
        auto c = good;
        putField(c, zarn::kContainerPayloadField, f);
        EXPECT_FALSE(zarn::unpackContainer(c.data(), c.size()).ok) << f;
    }
    // Script lengths beyond the limit or beyond what the payload can expand to.
    const char* badScript[] = {"", "0", "x", "999999999", "100000"};
    for (const char* f : badScript) {
        auto c = good;
        putField(c, zarn::kContainerScriptField, f);
        EXPECT_FALSE(zarn::unpackContainer(c.data(), c.size()).ok) << f;
    }
    // A field without its terminator.
    auto c = good;
    std::memset(c.data() + zarn::kContainerScriptField, '1', zarn::kContainerFieldSize);
    EXPECT_FALSE(zarn::unpackContainer(c.data(), c.size()).ok);
    // Truncated files.
    for (size_t n : {size_t(0), size_t(8), size_t(20), size_t(33), good.size() - 1})
        EXPECT_FALSE(zarn::unpackContainer(good.data(), n).ok) << n;
}

TEST(Container, CorruptPayloadsAndUnterminatedTextAreErrors) {
    std::vector<uint8_t> good = pack("set a 1; set b 2; set c 3; set d 4");
    for (size_t i = zarn::kContainerHeaderSize; i < good.size(); ++i) {
        auto c = good;
        c[i] ^= 0x5a;
        zarn::ContainerResult r = zarn::unpackContainer(c.data(), c.size());
        if (r.ok) {
            EXPECT_LE(r.script.size(), 40u);
        }
    }
    // Declaring one byte less than the stream holds leaves the text without
    // its terminator inside the declared length.
    std::string err;
    auto c = zarn::packContainer("abc", &err);
    ASSERT_FALSE(c.empty());
    zarn::ContainerResult r = zarn::unpackContainer(c.data(), c.size());
    ASSERT_TRUE(r.ok);
    putField(c, zarn::kContainerScriptField, "3");
    r = zarn::unpackContainer(c.data(), c.size());
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.zlibStatus, 0);
}

TEST(Calc, SlidingCorrelationMatchesNumpy) {
    std::vector<double> a = {1, 5, 2, 8, 3, 9, 4, 7, 6, 0, 2, 5};
    std::vector<double> b = {8, 3, 9.5, 4, 7};
    zarn::CorrelResult r = zarn::slidingCorrelation(a, b, 0, 4096);
    ASSERT_TRUE(r.found);
    std::string py =
        "/usr/bin/python3 -c \"import numpy as np\n"
        "a=np.array([1,5,2,8,3,9,4,7,6,0,2,5.]);b=np.array([8,3,9.5,4,7])\n"
        "r=[np.corrcoef(a[k:k+5],b)[0,1]**2 for k in range(len(a)-4)]\n"
        "k=int(np.argmax(r));print('%.8f %d'%(r[k],k))\"";
    char mine[64];
    std::snprintf(mine, sizeof mine, "%.8f %d\n", r.r2, r.offset);
    EXPECT_EQ(testsupport::run(py), mine);
    EXPECT_TRUE(zarn::slidingCorrelation({}, b, 0, 10).empty);
    EXPECT_TRUE(zarn::slidingCorrelation(a, b, 5, 10).empty);
}

TEST(Calc, PermutationsAreCompleteAndReachEveryPosition) {
    for (int n : {1, 2, 7, 300, 1000}) {
        auto p = zarn::randomPermutation(n);
        std::vector<int> sorted = p;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < n; ++i) ASSERT_EQ(sorted[static_cast<size_t>(i)], i);
    }
    // Elements beyond the first 256 move too.
    std::srand(11);
    auto p = zarn::randomPermutation(1000);
    int moved = 0;
    for (int i = 500; i < 1000; ++i) moved += p[static_cast<size_t>(i)] != i;
    EXPECT_GT(moved, 450);
}
