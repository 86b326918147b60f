#include "ramimage/fileview.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace zarn {

// ---- mapped windows ---------------------------------------------------------------

namespace {

// Windows start on multiples of kMaxPiece and map twice that, so that any
// piece of up to kMaxPiece bytes lies wholly in the window of its start.
constexpr int64_t kStep = FileView::kMaxPiece;
constexpr int64_t kWindowBytes = 2 * kStep;

int64_t sizeOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

}  // namespace

const unsigned char* FileView::at(int fd, int64_t offset, int64_t n) {
    if (fd < 0 || offset < 0 || n < 0 || n > kMaxPiece) return nullptr;
    if (fd != fd_) {
        reset();
        fd_ = fd;
    }
    if (unmappable_) return nullptr;
    for (Window& w : windows_)
        if (w.base && offset >= w.start && offset + n <= w.start + w.length) {
            w.lastUse = ++clock_;
            return w.base + (offset - w.start);
        }
    // The file may have grown since it was last measured.
    if (fileSize_ < 0 || offset + n > fileSize_) fileSize_ = sizeOf(fd);
    if (fileSize_ < 0) {
        unmappable_ = true;
        return nullptr;
    }
    if (offset + n > fileSize_) return nullptr;
    const int64_t start = offset / kStep * kStep;
    const int64_t length = std::min(kWindowBytes, fileSize_ - start);
    void* p = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
    if (p == MAP_FAILED) {
        unmappable_ = true;
        return nullptr;
    }
    Window& w = *std::min_element(windows_.begin(), windows_.end(),
                                  [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
    if (w.base) ::munmap(w.base, static_cast<size_t>(w.length));
    w.base = static_cast<unsigned char*>(p);
    w.start = start;
    w.length = length;
    w.lastUse = ++clock_;
    return w.base + (offset - start);
}

void FileView::reset() {
    for (Window& w : windows_) {
        if (w.base) ::munmap(w.base, static_cast<size_t>(w.length));
        w = Window{};
    }
    fd_ = -1;
    fileSize_ = -1;
    unmappable_ = false;
}

// ---- the SIGBUS guard -------------------------------------------------------------

namespace {

struct Guard {
    sigjmp_buf env;
};

// The guard of the read running on this thread.  It is set before any
// mapped byte is touched, so the handler never meets unallocated
// thread-local storage.
thread_local Guard* tGuard = nullptr;

struct sigaction gPrevious {};
void onBus(int sig, siginfo_t* info, void* context);

bool ours(const struct sigaction& sa) {
    return (sa.sa_flags & SA_SIGINFO) && sa.sa_sigaction == onBus;
}

// Passes a fault that is not ours to whatever handled SIGBUS before.
void passOn(int sig, siginfo_t* info, void* context) {
    const struct sigaction prev = gPrevious;
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction) prev.sa_sigaction(sig, info, context);
        return;
    }
    if (prev.sa_handler == SIG_IGN && info && info->si_code == SI_USER) return;
    if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
        prev.sa_handler(sig);
        return;
    }
    // The default action: the faulting access runs again (or the signal is
    // raised again) and ends the process as it would have without us.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGBUS, &dfl, nullptr);
    if (!info || info->si_code <= 0) ::raise(SIGBUS);
}

void onBus(int sig, siginfo_t* info, void* context) {
    Guard* g = tGuard;
    // Only faults raised by the kernel during a guarded read are ours.
    if (g && info && info->si_code > 0) siglongjmp(g->env, 1);
    passOn(sig, info, context);
}

// Installs the handler once, keeping the one it replaces to pass other
// faults to.
void installHandler() {
    struct sigaction sa {};
    sa.sa_sigaction = onBus;
    // SA_NODEFER: leaving the handler by siglongjmp must not leave SIGBUS
    // blocked, and sigsetjmp need not save the signal mask (a system call
    // on every guarded read).
    sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    if (::sigaction(SIGBUS, &sa, &old) == 0 && !ours(old)) gPrevious = old;
}

std::once_flag gInstalled;
// Set once the handler is in place: the common path is one load.
std::atomic<bool> gReady{false};

}  // namespace

bool guardedRead(void (*fn)(void*), void* ctx) {
    if (!gReady.load(std::memory_order_acquire)) {
        std::call_once(gInstalled, installHandler);
        gReady.store(true, std::memory_order_release);
    }
    Guard g;
    Guard* const outer = tGuard;
    if (sigsetjmp(g.env, 0) != 0) {
        tGuard = outer;
        return false;
    }
    tGuard = &g;
    fn(ctx);
    tGuard = outer;
    return true;
}

}  // namespace zarn
