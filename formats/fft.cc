// The FFT file: recognition for the store (a two-band FLOAT image, real and
// imaginary parts interleaved by pixel), the statistics it carries in its
// header, and the row and column-segment I/O of the frequency application.
#include "formats/fft.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

namespace {

constexpr int64_t kComplexBytes = 8;
constexpr int64_t kPieceBytes = 32768;

bool isPowerOfTwo(int32_t v) { return v > 0 && (v & (v - 1)) == 0; }

// The spectrum's sizes are what the transform made them: powers of two,
// with a row record (columns x 8 bytes) that fits the head's int field.
bool fftGeometryOk(int32_t rows, int32_t columns) {
    if (!isPowerOfTwo(rows) || !isPowerOfTwo(columns)) return false;
    auto block = zarn::mulSize(columns, kComplexBytes);
    auto data = block ? zarn::mulSize(*block, rows) : std::nullopt;
    return block && zarn::fitsInt(*block) && data && zarn::addSize(*data, kFFTHeadSize);
}

bool magicMatches(const FFTHead& h) { return std::memcmp(h.magic, kFFTMagic, sizeof kFFTMagic) == 0; }

// Reports the system error of the last call, as perror does.
void reportSysError(const char* what, int err) {
    zarn::conPrintf(zarn::kStderr, "%s: %s\n", what, err ? std::strerror(err) : "unexpected end of file");
}

int64_t rowBytes(const FFTHead* head) { return static_cast<int64_t>(head->columns) * kComplexBytes; }
int64_t rowOffset(const FFTHead* head, int64_t row) { return kFFTHeadSize + row * rowBytes(head); }

// first .. first + count - 1 within 0 .. size - 1 (count may be 0).
bool rangeOk(int first, int count, int size) {
    return first >= 0 && count >= 0 && static_cast<int64_t>(first) + count <= size;
}

// The caller's buffer, or a malloc'ed one of n bytes; null after the
// allocation message of `who`.
float* bufferFor(float* given, int64_t n, const char* who) {
    if (given) return given;
    void* p = std::malloc(static_cast<size_t>(std::max<int64_t>(n, 1)));
    if (!p) zarn::conPrintf(zarn::kStderr, "malloc error in %s.\n", who);
    return static_cast<float*>(p);
}

}  // namespace

// ---- recognition and statistics for the store -----------------------------

// The 16-byte magic identifies the file; sizes that are not powers of two,
// or data that the file does not hold, make it unusable (-1).  Files made by
// OpenNEWFFTFile have their full length from the start.
int imgFFT(int fd, const char* name, ImageHead* head, HandlerPtr*) {
    FFTHead f;
    if (zarn::readAt(fd, &f, sizeof f, 0) != kFFTHeadSize) return 0;
    if (!magicMatches(f)) return 0;
    if (!fftGeometryOk(f.rows, f.columns)) {
        zarn::conPrintf(zarn::kStderr, "%s: unusable FFT header: rows %d and columns %d must be powers of two.\n",
                        name ? name : "", f.rows, f.columns);
        return -1;
    }
    const int64_t end = kFFTHeadSize + static_cast<int64_t>(f.rows) * rowBytes(&f);
    if (end > zarn::fileSize(fd)) {
        zarn::conPrintf(zarn::kStderr, "%s: unusable FFT header: file shorter than its declared data.\n",
                        name ? name : "");
        return -1;
    }
    ImageHead h = *head;
    h.pixel = PIX_FLOAT;
    h.imgid = IMG_FFT;
    h.mapid = MAP_GRID;
    h.offset = kFFTHeadSize;
    h.rows = f.rows;
    h.columns = f.columns;
    h.bits = 32;
    h.nbands = 2;
    h.block = static_cast<int>(rowBytes(&f));
    h.msbf = msbFirst() ? 1 : 0;
    h.top = h.left = 0;
    h.x0 = h.y0 = 0;
    h.dx = h.dy = 1;
    h.nindices = 0;
    h.transparent = -1;
    *head = h;
    return IMG_FFT;
}

int getFFTHist(int fd, HistRecord* stats) {
    FFTHead f;
    if (!stats || zarn::readAt(fd, &f, sizeof f, 0) != kFFTHeadSize || !magicMatches(f)) return 0;
    const double mean[2] = {f.meanReal, f.meanImag};
    const double sd[2] = {f.stdReal, f.stdImag};
    const double lo[2] = {f.minReal, f.minImag};
    const double hi[2] = {f.maxReal, f.maxImag};
    for (int b = 0; b < 2; ++b) {
        HistRecord& h = stats[b];
        h.count = f.count;
        h.sum = mean[b] * f.count;
        h.sumSq = (sd[b] * sd[b] + mean[b] * mean[b]) * f.count;
        h.mean = mean[b];
        h.std = sd[b];
        h.min = lo[b];
        h.max = hi[b];
        h.valid = 1;
    }
    return 1;
}

// ---- the frequency application's file routines ----------------------------

void resetFFTStats(FFTHead* head) {
    head->count = 0;
    head->maxReal = head->maxImag = -DBL_MAX;
    head->minReal = head->minImag = DBL_MAX;
    head->meanReal = head->meanImag = 0;
    head->stdReal = head->stdImag = 0;
}

int OpenOLDFFTFile(const char* path, FFTHead* head) {
    if (!path || !head) return -1;
    zarn::UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC));
    if (!fd) {
        reportSysError(path, errno);
        return -1;
    }
    FFTHead f;
    errno = 0;
    if (zarn::readAt(fd.get(), &f, sizeof f, 0) != kFFTHeadSize) {
        reportSysError(path, errno);
        return -1;
    }
    // The magic up to its terminator; what follows it is not looked at.
    if (std::memcmp(f.magic, kFFTMagic, std::strlen(kFFTMagic) + 1) != 0) {
        zarn::conPuts(zarn::kStderr, "Not an FFT image file!\n");
        return -1;
    }
    if (!fftGeometryOk(f.rows, f.columns)) {
        zarn::conPrintf(zarn::kStderr, "%s: rows %d and columns %d of the FFT file must be powers of two.\n", path,
                        f.rows, f.columns);
        return -1;
    }
    // Callers that go on with sequential reads expect to be past the header.
    if (::lseek(fd.get(), kFFTHeadSize, SEEK_SET) < 0) {
        reportSysError(path, errno);
        return -1;
    }
    *head = f;
    return fd.release();
}

int OpenNEWFFTFile(const char* path, FFTHead* head) {
    if (!path || !head) return -1;
    if (!fftGeometryOk(head->rows, head->columns)) {
        zarn::conPrintf(zarn::kStderr, "%s: rows %d and columns %d of the FFT file must be powers of two.\n", path,
                        head->rows, head->columns);
        return -1;
    }
    zarn::UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) {
        reportSysError(path, errno);
        return -1;
    }
    // Header and N x M complex values of 8 bytes each.
    const int64_t need = kFFTHeadSize + static_cast<int64_t>(head->rows) * rowBytes(head);
    const double avail = zarn::freeDiskSpaceFd(fd.get());
    if (avail >= 0 && static_cast<double>(need) > avail) {
        zarn::conPuts(zarn::kStderr, "Insufficient disk space.\n");
        zarn::conPrintf(zarn::kStderr, "Rquest: %lld  Available: %lld\n", static_cast<long long>(need),
                        static_cast<long long>(avail));
        return -1;
    }
    errno = 0;
    if (!zarn::writeAt(fd.get(), head, sizeof *head, 0)) {
        reportSysError(path, errno ? errno : ENOSPC);
        return -1;
    }
    // The file gets its full length now, so that it can be opened as an
    // image at once and always holds what its header declares.  Reserving
    // the blocks makes a full disk show here rather than halfway through a
    // transform; where that cannot be done the file is extended with a hole.
    const int64_t data = need - kFFTHeadSize;
    int r = ::posix_fallocate(fd.get(), kFFTHeadSize, static_cast<off_t>(data));
    if (r != 0 && r != EOPNOTSUPP && r != EINVAL) {
        reportSysError(path, r);
        return -1;
    }
    if (r != 0 && ::ftruncate(fd.get(), static_cast<off_t>(need)) != 0) {
        reportSysError(path, errno);
        return -1;
    }
    fd.reset();
    return OpenOLDFFTFile(path, head);
}

int PutFFTHead(const FFTHead* head, int fd) {
    errno = fd < 0 ? EBADF : 0;
    if (!head || !zarn::writeAt(fd, head, sizeof *head, 0)) {
        reportSysError("PutFFTHead", errno ? errno : EINVAL);
        return -1;
    }
    return kFFTHeadSize;
}

float* GetFFTFileBlock(const FFTHead* head, int fd, float* buffer, int firstRow, int nRows) {
    if (!head || !rangeOk(firstRow, nRows, head->rows)) {
        reportSysError("lseek error in GetFFTFileBlock", EINVAL);
        return nullptr;
    }
    const int64_t bytes = nRows * rowBytes(head);
    float* out = bufferFor(buffer, bytes, "GetFFTFileBlock");
    if (!out) return nullptr;
    errno = 0;
    if (zarn::readAt(fd, out, static_cast<size_t>(bytes), rowOffset(head, firstRow)) != bytes) {
        reportSysError("read error in GetFFTFileBlock", errno);
        if (!buffer) std::free(out);
        return nullptr;
    }
    return out;
}

float* GetFFTFileSeg(const FFTHead* head, int fd, float* buffer, int firstCol, int nCols) {
    if (!head || !rangeOk(firstCol, nCols, head->columns)) {
        reportSysError("lseek error in GetFFTFileSeg", EINVAL);
        return nullptr;
    }
    const int64_t segBytes = nCols * kComplexBytes;
    float* out = bufferFor(buffer, segBytes * head->rows, "GetFFTFileSeg");
    if (!out) return nullptr;
    for (int64_t r = 0; r < head->rows; ++r) {
        errno = 0;
        if (zarn::readAt(fd, out + r * 2 * nCols, static_cast<size_t>(segBytes),
                         rowOffset(head, r) + firstCol * kComplexBytes) != segBytes) {
            reportSysError("read error in GetFFTFileSeg", errno);
            if (!buffer) std::free(out);
            return nullptr;
        }
    }
    return out;
}

int PutFFTFileBlock(FFTHead* head, int fd, const float* buffer, int firstRow, int nRows, int accumulate) {
    if (!head || !buffer || !rangeOk(firstRow, nRows, head->rows)) {
        reportSysError("lseek error in PutFFTFileBlock", EINVAL);
        return -1;
    }
    if (accumulate)
        for (int64_t r = 0; r < nRows; ++r) statFFT(head, buffer + r * 2 * head->columns, head->columns);
    errno = 0;
    if (!zarn::writeAt(fd, buffer, static_cast<size_t>(nRows * rowBytes(head)), rowOffset(head, firstRow))) {
        reportSysError("write error in PutFFTFileBlock", errno ? errno : ENOSPC);
        return -1;
    }
    return nRows;
}

int PutFFTFileSeg(FFTHead* head, int fd, const float* buffer, int firstCol, int nCols, int accumulate) {
    if (!head || !buffer || !rangeOk(firstCol, nCols, head->columns)) {
        reportSysError("lseek error in PutFFTFileSeg", EINVAL);
        return -1;
    }
    const int64_t segBytes = nCols * kComplexBytes;
    for (int64_t r = 0; r < head->rows; ++r) {
        const float* piece = buffer + r * 2 * nCols;
        if (accumulate) statFFT(head, piece, nCols);
        errno = 0;
        if (!zarn::writeAt(fd, piece, static_cast<size_t>(segBytes), rowOffset(head, r) + firstCol * kComplexBytes)) {
            reportSysError("write error in PutFFTFileSeg", errno ? errno : ENOSPC);
            return -1;
        }
    }
    return nCols;
}

void statFFT(FFTHead* head, const float* values, int64_t n) {
    if (!head || !values || n <= 0) return;
    double maxRe = head->maxReal, minRe = head->minReal;
    double maxIm = head->maxImag, minIm = head->minImag;
    double sumRe = 0, sumIm = 0, sqRe = 0, sqIm = 0;
    for (int64_t i = 0; i < n; ++i) {
        const double re = values[2 * i], im = values[2 * i + 1];
        // Each extreme on its own: the first value may be both.
        maxRe = std::max(maxRe, re);
        minRe = std::min(minRe, re);
        maxIm = std::max(maxIm, im);
        minIm = std::min(minIm, im);
        sumRe += re;
        sumIm += im;
        sqRe += re * re;
        sqIm += im * im;
    }
    head->maxReal = maxRe;
    head->minReal = minRe;
    head->maxImag = maxIm;
    head->minImag = minIm;
    const double c = head->count, pn = static_cast<double>(n), total = c + pn;
    auto merge = [&](double stored, double pieceSum) { return stored * c / total + (pieceSum / pn) * pn / total; };
    head->meanReal = merge(head->meanReal, sumRe);
    head->meanImag = merge(head->meanImag, sumIm);
    head->stdReal = merge(head->stdReal, sqRe);
    head->stdImag = merge(head->stdImag, sqIm);
    head->count = total;
}

int64_t getFileData(int fd, void* buffer, int64_t length, int64_t offset, int fatal) {
    if (offset >= 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        reportSysError("lseek in getFileData", errno);
        return 0;
    }
    auto* p = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < length) {
        const size_t piece = static_cast<size_t>(std::min(kPieceBytes, length - done));
        ssize_t r = ::read(fd, p + done, piece);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            reportSysError("read in getFileData", r < 0 ? errno : 0);
            break;
        }
        done += r;
    }
    return done;
}

int64_t putFileData(int fd, const void* buffer, int64_t length, int64_t offset, int quiet) {
    if (offset >= 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        if (!quiet) zarn::conPuts(zarn::kStderr, "getFileData error in lseek\n");
        return 0;
    }
    auto* p = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < length) {
        const size_t piece = static_cast<size_t>(std::min(kPieceBytes, length - done));
        ssize_t r = ::write(fd, p + done, piece);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (!quiet) zarn::conPuts(zarn::kStderr, "putFileData error in write\n");
            break;
        }
        done += r;
    }
    return done;
}
