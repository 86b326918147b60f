// libjpeg glue.  libjpeg reports a fatal error by calling error_exit, which
// here longjmps back to the function that set the jump point.  Those
// functions (readJPEGInfo, loadJPEG, dumpJPEG) and the callbacks libjpeg runs
// hold no object with a destructor, and nothing in them throws, so the jump
// never skips C++ clean-up; every path out of them destroys the libjpeg
// object, which frees all that libjpeg and these callbacks allocated.
#include "formats/jpeg_codec.h"

#include <unistd.h>

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "init/output.h"
#include "ramimage/fileio.h"
#include "ramimage/interleave.h"
#include "ramimage/ramimage.h"

namespace {

constexpr size_t kIOBytes = 65536;
constexpr int kBatchRows = 16;
// Progressive files with more scans than this are taken as hostile: each scan
// revisits the whole picture.
constexpr int kMaxScans = 500;

struct ErrorManager {
    jpeg_error_mgr pub;  // first, so libjpeg's pointer is ours
    jmp_buf jump;
};

struct ProgressMonitor {
    jpeg_progress_mgr pub;
    ErrorManager* err;
};

struct FdSource {
    jpeg_source_mgr pub;
    int fd;
    int64_t pos;
    JOCTET* buffer;
};

struct FdDestination {
    jpeg_destination_mgr pub;
    int fd;
    int64_t pos;
    JOCTET* buffer;
};

// Console output that never lets an exception into libjpeg's C frames.
void say(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) noexcept {
    va_list ap;
    va_start(ap, format);
    try {
        zarn::conVPrintf(zarn::kStderr, format, ap);
    } catch (...) {
    }
    va_end(ap);
}

void outputMessage(j_common_ptr cinfo) noexcept {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    say("%s\n", text);
}

[[noreturn]] void errorExit(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void progressMonitor(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) {
        say("JPEG file has more than %d scans.\n", kMaxScans);
        std::longjmp(reinterpret_cast<ProgressMonitor*>(cinfo->progress)->err->jump, 1);
    }
}

void setErrorManager(j_common_ptr cinfo, ErrorManager* err) {
    cinfo->err = jpeg_std_error(&err->pub);
    err->pub.error_exit = errorExit;
    err->pub.output_message = outputMessage;
}

// ---- source: positioned reads from the descriptor --------------------------

void initSource(j_decompress_ptr) {}

boolean fillInput(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<FdSource*>(cinfo->src);
    int64_t n = zarn::readAt(src->fd, src->buffer, kIOBytes, src->pos);
    if (n <= 0) {
        // A truncated file ends in a made-up end-of-image marker, as in
        // libjpeg's own readers, so decoding stops instead of waiting.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    } else {
        src->pos += n;
    }
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = static_cast<size_t>(n);
    return TRUE;
}

void skipInput(j_decompress_ptr cinfo, long count) {
    auto* src = reinterpret_cast<FdSource*>(cinfo->src);
    if (count <= 0) return;
    auto n = static_cast<size_t>(count);
    if (n <= src->pub.bytes_in_buffer) {
        src->pub.next_input_byte += n;
        src->pub.bytes_in_buffer -= n;
        return;
    }
    auto ahead = static_cast<int64_t>(n - src->pub.bytes_in_buffer);
    src->pos = src->pos > INT64_MAX / 2 - ahead ? INT64_MAX / 2 : src->pos + ahead;
    src->pub.bytes_in_buffer = 0;
}

void termSource(j_decompress_ptr) {}

void useFdSource(j_decompress_ptr cinfo, int fd) {
    auto* src = static_cast<FdSource*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(FdSource)));
    src->buffer = static_cast<JOCTET*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, kIOBytes));
    src->fd = fd;
    src->pos = 0;
    src->pub.init_source = initSource;
    src->pub.fill_input_buffer = fillInput;
    src->pub.skip_input_data = skipInput;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = termSource;
    src->pub.bytes_in_buffer = 0;
    src->pub.next_input_byte = nullptr;
    cinfo->src = &src->pub;
}

// ---- destination: positioned writes to the descriptor -----------------------

void initDestination(j_compress_ptr cinfo) {
    auto* dst = reinterpret_cast<FdDestination*>(cinfo->dest);
    dst->pub.next_output_byte = dst->buffer;
    dst->pub.free_in_buffer = kIOBytes;
}

boolean emptyOutput(j_compress_ptr cinfo) {
    auto* dst = reinterpret_cast<FdDestination*>(cinfo->dest);
    if (!zarn::writeAt(dst->fd, dst->buffer, kIOBytes, dst->pos)) ERREXIT(cinfo, JERR_FILE_WRITE);
    dst->pos += static_cast<int64_t>(kIOBytes);
    dst->pub.next_output_byte = dst->buffer;
    dst->pub.free_in_buffer = kIOBytes;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
    auto* dst = reinterpret_cast<FdDestination*>(cinfo->dest);
    size_t n = kIOBytes - dst->pub.free_in_buffer;
    if (n > 0 && !zarn::writeAt(dst->fd, dst->buffer, n, dst->pos)) ERREXIT(cinfo, JERR_FILE_WRITE);
    dst->pos += static_cast<int64_t>(n);
}

FdDestination* useFdDestination(j_compress_ptr cinfo, int fd) {
    auto* dst = static_cast<FdDestination*>((*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo),
                                                                          JPOOL_PERMANENT, sizeof(FdDestination)));
    dst->buffer = static_cast<JOCTET*>(
        (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, kIOBytes));
    dst->fd = fd;
    dst->pos = 0;
    dst->pub.init_destination = initDestination;
    dst->pub.empty_output_buffer = emptyOutput;
    dst->pub.term_destination = termDestination;
    cinfo->dest = &dst->pub;
    return dst;
}

// ---- interleaving ----------------------------------------------------------

// Splits one interleaved row into its band lines (band c at out + c * step).
void splitRows(const unsigned char* in, unsigned char* out, int64_t step, int width, int n) {
    std::vector<unsigned char*> dst(static_cast<size_t>(n));
    for (int c = 0; c < n; ++c) dst[c] = out + c * step;
    splitBands(in, dst.data(), width, n, 1);
}

template <int N>
void mergeRow(const unsigned char* in, int64_t step, unsigned char* __restrict out, int width) {
    const unsigned char* b[N];
    for (int c = 0; c < N; ++c) b[c] = in + c * step;
    for (int x = 0; x < width; ++x)
        for (int c = 0; c < N; ++c) out[N * x + c] = b[c][x];
}

void mergeRows(const unsigned char* in, int64_t step, unsigned char* out, int width, int n) {
    switch (n) {
    case 3: mergeRow<3>(in, step, out, width); break;
    case 4: mergeRow<4>(in, step, out, width); break;
    default:
        for (int c = 0; c < n; ++c)
            for (int x = 0; x < width; ++x) out[n * x + c] = in[c * step + x];
        break;
    }
}

J_COLOR_SPACE inputColorSpace(int nbands) {
    switch (nbands) {
    case 1: return JCS_GRAYSCALE;
    case 3: return JCS_RGB;
    case 4: return JCS_CMYK;
    default: return JCS_UNKNOWN;
    }
}

}  // namespace

int readJPEGInfo(int fd, JpegInfo* info) {
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;
    std::memset(&cinfo, 0, sizeof cinfo);
    setErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    jpeg_create_decompress(&cinfo);
    useFdSource(&cinfo, fd);
    jpeg_read_header(&cinfo, TRUE);
    info->width = static_cast<int>(cinfo.image_width);
    info->height = static_cast<int>(cinfo.image_height);
    info->components = cinfo.num_components;
    jpeg_destroy_decompress(&cinfo);
    return 1;
}

int loadJPEG(int fd, unsigned char* buf, int64_t bytesPerLine, const JpegInfo& expect) {
    unsigned char magic[3];
    if (zarn::readAt(fd, magic, 3, 0) != 3 || magic[0] != 0xFF || magic[1] != 0xD8 || magic[2] != 0xFF) {
        say("not a jpeg file...\n");
        return 0;
    }
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;
    ProgressMonitor progress;
    std::memset(&cinfo, 0, sizeof cinfo);
    std::memset(&progress, 0, sizeof progress);
    setErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    jpeg_create_decompress(&cinfo);
    progress.pub.progress_monitor = progressMonitor;
    progress.err = &jerr;
    cinfo.progress = &progress.pub;
    useFdSource(&cinfo, fd);
    jpeg_read_header(&cinfo, TRUE);
    if (static_cast<int64_t>(cinfo.image_width) != expect.width ||
        static_cast<int64_t>(cinfo.image_height) != expect.height || cinfo.num_components != expect.components) {
        say("JPEG file changed: %u x %u x %d instead of %d x %d x %d.\n", cinfo.image_width, cinfo.image_height,
            cinfo.num_components, expect.width, expect.height, expect.components);
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    // libjpeg's own working memory (whole-picture coefficients of a
    // progressive file) is bounded by the picture it decodes to.
    int64_t samples = int64_t{expect.width} * expect.height * expect.components;
    cinfo.mem->max_memory_to_use = static_cast<long>(2 * samples + (int64_t{32} << 20));
    jpeg_start_decompress(&cinfo);
    const int comps = cinfo.output_components;
    const int width = static_cast<int>(cinfo.output_width);
    const int height = static_cast<int>(cinfo.output_height);
    if (comps != expect.components || width != expect.width || height != expect.height) {
        say("JPEG decodes to %d components, the image has %d bands.\n", comps, expect.components);
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    JSAMPROW rows[kBatchRows];
    JSAMPARRAY work = nullptr;
    if (comps > 1)
        work = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                          static_cast<JDIMENSION>(width * comps), kBatchRows);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = static_cast<int>(cinfo.output_scanline);
        const int want = height - y < kBatchRows ? height - y : kBatchRows;
        JDIMENSION got;
        if (comps == 1) {
            for (int i = 0; i < want; ++i) rows[i] = buf + (int64_t{y} + i) * bytesPerLine;
            got = jpeg_read_scanlines(&cinfo, rows, static_cast<JDIMENSION>(want));
        } else {
            got = jpeg_read_scanlines(&cinfo, work, static_cast<JDIMENSION>(want));
            for (JDIMENSION i = 0; i < got; ++i)
                splitRows(work[i], buf + (int64_t{y} + i) * comps * bytesPerLine, bytesPerLine, width, comps);
        }
        if (got == 0) {
            say("JPEG decoding stopped at line %d.\n", y);
            jpeg_destroy_decompress(&cinfo);
            return 0;
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 1;
}

int dumpJPEG(int fd, int width, int height, int nbands, int quality, const unsigned char* buf,
             int64_t bytesPerLine) {
    if (width < 1 || height < 1 || nbands < 1 || nbands > MAX_COMPONENTS || !buf) return 0;
    jpeg_compress_struct cinfo;
    ErrorManager jerr;
    std::memset(&cinfo, 0, sizeof cinfo);
    setErrorManager(reinterpret_cast<j_common_ptr>(&cinfo), &jerr);
    if (setjmp(jerr.jump)) {
        jpeg_destroy_compress(&cinfo);
        return 0;
    }
    jpeg_create_compress(&cinfo);
    FdDestination* dst = useFdDestination(&cinfo, fd);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = nbands;
    cinfo.in_color_space = inputColorSpace(nbands);
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPROW rows[kBatchRows];
    JSAMPARRAY work = nullptr;
    if (nbands > 1)
        work = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                          static_cast<JDIMENSION>(width * nbands), kBatchRows);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        const int n = height - y < kBatchRows ? height - y : kBatchRows;
        for (int i = 0; i < n; ++i) {
            const unsigned char* line = buf + (int64_t{y} + i) * nbands * bytesPerLine;
            if (nbands == 1) {
                rows[i] = const_cast<JSAMPROW>(line);
            } else {
                mergeRows(line, bytesPerLine, work[i], width, nbands);
                rows[i] = work[i];
            }
        }
        if (jpeg_write_scanlines(&cinfo, rows, static_cast<JDIMENSION>(n)) == 0) {
            say("JPEG encoding stopped at line %d.\n", y);
            jpeg_destroy_compress(&cinfo);
            return 0;
        }
    }
    jpeg_finish_compress(&cinfo);
    const int64_t length = dst->pos;
    jpeg_destroy_compress(&cinfo);
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
        say("JPEG: cannot set the file length.\n");
        return 0;
    }
    return 1;
}
