#include "ramimage/fileio.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace zarn {

int64_t readAt(int fd, void* buf, size_t n, int64_t offset) {
    if (fd < 0 || offset < 0) return -1;
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, p + done, n - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (r < 0) {
            if (errno == EINTR) continue;
            return done ? static_cast<int64_t>(done) : -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t readvAt(int fd, const struct iovec* iov, int count, int64_t offset) {
    if (fd < 0 || offset < 0 || count < 1) return -1;
    std::vector<struct iovec> rest(iov, iov + count);
    size_t first = 0;
    int64_t done = 0;
    while (first < rest.size()) {
        int n = static_cast<int>(std::min<size_t>(rest.size() - first, IOV_MAX));
        ssize_t r = ::preadv(fd, rest.data() + first, n, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return done ? done : -1;
        }
        if (r == 0) break;
        done += r;
        // Skip the buffers filled and trim the one partly filled.
        size_t left = static_cast<size_t>(r);
        while (first < rest.size() && left >= rest[first].iov_len) left -= rest[first++].iov_len;
        if (first < rest.size() && left) {
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + left;
            rest[first].iov_len -= left;
        }
    }
    return done;
}

bool writeAt(int fd, const void* buf, size_t n, int64_t offset) {
    if (fd < 0 || offset < 0) return false;
    auto* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pwrite(fd, p + done, n - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

int64_t fileSize(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

double freeDiskSpace(const char* path) {
    struct statfs s;
    if (!path || ::statfs(path, &s) != 0) return -1;
    return static_cast<double>(s.f_bavail) * static_cast<double>(s.f_bsize);
}

double freeDiskSpaceFd(int fd) {
    struct statfs s;
    if (fd < 0 || ::fstatfs(fd, &s) != 0) return -1;
    return static_cast<double>(s.f_bavail) * static_cast<double>(s.f_bsize);
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

}  // namespace zarn
