// JPEG images: decoded whole into the line cache at first access, and
// re-encoded whole when a modified image is flushed.  The libjpeg calls live
// in jpeg_codec.cc.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "formats/jpeg_codec.h"
#include "init/output.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

namespace {

constexpr int kDefaultQuality = 90;

int flushQuality(int block) {
    if (block < 0) return kDefaultQuality;
    return block > 100 ? 100 : block;
}

bool holdsWholeImage(const RAMImage* img) {
    int64_t lines = int64_t{img->head.rows} * img->head.nbands;
    if (img->slotCount < lines || static_cast<int64_t>(img->slotLine.size()) < lines) return false;
    for (int64_t k = 0; k < lines; ++k)
        if (img->slotLine[static_cast<size_t>(k)] != k) return false;
    return true;
}

// The file a write must replace: the target of a symbolic link rather than
// the link itself.
std::string realTarget(const char* name) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(name, nullptr), &std::free);
    return real ? std::string(real.get()) : std::string(name);
}

// A new file beside `target`, with the permission bits of `mode`; its name
// goes into `tmpName`.  -1 when it cannot be made.
int makeSibling(const std::string& target, mode_t mode, std::string* tmpName) {
    std::filesystem::path dir = std::filesystem::path(target).parent_path();
    std::string pattern = (dir.empty() ? std::string(".") : dir.string()) + "/.zarn-jpeg-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return -1;
    *tmpName = name.data();
    if (::fchmod(fd, mode & 07777) != 0) {
        ::close(fd);
        ::unlink(tmpName->c_str());
        return -1;
    }
    return fd;
}

}  // namespace

int imgJPEG(int fd, const char*, ImageHead* head, HandlerPtr*) {
    unsigned char magic[3];
    if (zarn::readAt(fd, magic, 3, 0) != 3 || magic[0] != 0xFF || magic[1] != 0xD8 || magic[2] != 0xFF) return 0;
    JpegInfo info;
    if (!readJPEGInfo(fd, &info)) return 0;
    auto bytes = zarn::mulSize(info.width, info.height, info.components);
    if (info.width < 1 || info.height < 1 || info.components < 1 || !bytes || *bytes > cacheByteLimit()) {
        zarn::conPrintf(zarn::kStderr, "JPEG image of %d x %d x %d is too large to decode.\n", info.width,
                        info.height, info.components);
        return -1;
    }
    head->imgid = IMG_JPEG;
    head->mapid = MAP_GRID;
    head->pixel = PIX_BYTE;
    head->bits = 8;
    head->rows = info.height;
    head->columns = info.width;
    head->nbands = info.components;
    head->offset = 0;
    head->top = head->left = 0;
    head->msbf = msbFirst() ? 1 : 0;
    head->nindices = 0;
    head->transparent = -1;
    head->x0 = head->y0 = 0;
    head->dx = head->dy = 1.0;
    head->block = kDefaultQuality;
    return IMG_JPEG;
}

int readJPEG(RAMImage* img) {
    if (!holdWholeImage(img)) {
        zarn::conPuts(zarn::kStderr, "Error of malloc in readJPEG.\n");
        return 0;
    }
    JpegInfo expect;
    expect.width = img->head.columns;
    expect.height = img->head.rows;
    expect.components = img->head.nbands;
    return loadJPEG(img->fd, img->slotPtr(0), img->lineBytes, expect);
}

bool writeJPEG(RAMImage* img) {
    if (img->fd < 0) return true;
    const ImageHead& h = img->head;
    if (img->readOnly) {
        zarn::conPrintf(zarn::kStderr, "JPEG: %s is read-only; the changes are not saved.\n", h.file);
        return false;
    }
    if (!holdsWholeImage(img)) {
        zarn::conPrintf(zarn::kStderr, "JPEG: %s is not wholly in memory; the changes are not saved.\n", h.file);
        return false;
    }
    // Encode into a new file and move it over the old one only when it is
    // complete, so a failure leaves the original picture as it was.
    struct stat st;
    mode_t mode = (::fstat(img->fd, &st) == 0) ? st.st_mode : (S_IRUSR | S_IWUSR);
    std::string target = realTarget(h.file);
    std::string tmpName;
    zarn::UniqueFd out(makeSibling(target, mode, &tmpName));
    if (!out) {
        zarn::conPrintf(zarn::kStderr, "JPEG: cannot create a file beside %s.\n", h.file);
        return false;
    }
    bool ok = dumpJPEG(out.get(), h.columns, h.rows, h.nbands, flushQuality(h.block), img->slotPtr(0),
                       img->lineBytes) == 1;
    ok = ok && ::fsync(out.get()) == 0;
    ok = ok && ::rename(tmpName.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpName.c_str());
        zarn::conPrintf(zarn::kStderr, "JPEG: error writing %s; the file is unchanged.\n", h.file);
        return false;
    }
    // The image now reads the new file.
    img->view.reset();
    ::close(img->fd);
    img->fd = out.release();
    if (::fstat(img->fd, &st) == 0) {
        img->dev = st.st_dev;
        img->ino = st.st_ino;
    }
    // What was written is lossy: later reads decode the new file.
    std::fill(img->dirtyBits.begin(), img->dirtyBits.end(), 0);
    std::fill(img->slotLine.begin(), img->slotLine.end(), -1);
    return true;
}

int initJPEG(int fd, ImageHead* head) {
    if (head->rows < 1 || head->columns < 1 || head->nbands < 1) return -1;
    // One zero line stands for every band line.  The component count is the
    // band count, so the picture decodes to the image it was made for.
    std::vector<unsigned char> zeros(static_cast<size_t>(head->columns), 0);
    return dumpJPEG(fd, head->columns, head->rows, head->nbands, kDefaultQuality, zeros.data(), 0) == 1 ? 0 : -1;
}
