// The process-wide image list, tags, error texts, attributes, clients and the
// close/destroy lifecycle.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "init/output.h"
#include "ramimage/hist.h"
#include "ramimage/ramimage.h"

namespace {

RAMImage* gFirst = nullptr;
int rimgID = 0;

const char* const kErrorText[] = {"",
                                  "Memory allocation error",
                                  "Unknown image type",
                                  "Open image file error",
                                  "Error in modifying a system RAMIMG",
                                  "File already exists",
                                  "Error in creating a file",
                                  "Invalid image size",
                                  "Unable to handle the image"};

bool sameName(const char* a, const char* b) { return std::strncmp(a, b, kNameMax) == 0; }

}  // namespace

RAMImage::~RAMImage() {
    if (fd >= 0) ::close(fd);
}

const char* ramimgError(int code) {
    if (code < 0 || code > RAMERR_UNHANDLED) return "";
    return kErrorText[code];
}

void ramimgErrorReport(int code) {
    const char* s = ramimgError(code);
    if (*s) zarn::conPrintf(zarn::kStderr, "%s\n", s);
}

RAMImage* getRAMImage() { return gFirst; }

RAMImage* getRAMImageByTag(const char* tag) {
    if (!tag) return nullptr;
    for (RAMImage* p = gFirst; p; p = p->next)
        if (sameName(p->tag, tag)) return p;
    return nullptr;
}

RAMImage* getRAMImageByName(const char* name) {
    if (!name) return nullptr;
    for (RAMImage* p = gFirst; p; p = p->next)
        if (sameName(p->head.file, name)) return p;
    // The same file under another spelling (relative path, link) is the same
    // record: compare the file's identity with the open images'.
    struct stat st;
    if (::stat(name, &st) != 0) return nullptr;
    for (RAMImage* p = gFirst; p; p = p->next)
        if (p->hasIdentity && p->fd >= 0 && p->dev == st.st_dev && p->ino == st.st_ino) return p;
    return nullptr;
}

void linkRAMImage(const char* tag, RAMImage* img) {
    if (tag && *tag && std::strlen(tag) < static_cast<size_t>(kNameMax)) {
        std::memcpy(img->tag, tag, std::strlen(tag) + 1);
    } else {
        std::snprintf(img->tag, sizeof img->tag, "rimg%d", rimgID);
    }
    ++rimgID;
    img->next = gFirst;
    gFirst = img;
}

void unlinkRAMImage(RAMImage* img) {
    for (RAMImage** pp = &gFirst; *pp; pp = &(*pp)->next) {
        if (*pp == img) {
            *pp = img->next;
            img->next = nullptr;
            return;
        }
    }
}

int attrRAMImage(RAMImage* img, int attr) {
    if (!img) return 0;
    int old = img->attr;
    img->attr = attr;
    return old;
}

int unlinkRAMImageClient(RAMImageClient* client, RAMImage* img) {
    if (!client || !img) return 0;
    for (RAMImageClient** pp = &img->clients; *pp; pp = &(*pp)->next) {
        if (*pp == client) {
            *pp = client->next;
            client->next = nullptr;
            return 1;
        }
    }
    return 0;
}

RAMImage* unlinkClient(RAMImageClient* client) {
    if (!client) return nullptr;
    for (RAMImage* p = gFirst; p; p = p->next)
        if (unlinkRAMImageClient(client, p)) return p;
    return nullptr;
}

int linkRAMImageClient(RAMImageClient* client, RAMImage* img) {
    if (!client || !img) return 0;
    for (RAMImageClient* c = img->clients; c; c = c->next)
        if (c == client) return 1;
    unlinkClient(client);
    client->next = img->clients;
    img->clients = client;
    // The link takes over the open that openRAMImage counted.
    if (img->openCount > 0) --img->openCount;
    return 1;
}

void updateClient(RAMImage* img, const void* except, int bits) {
    if (!img) return;
    // Client procedures may run the event loop and unlink themselves or
    // others: walk a snapshot and re-check each one before calling it, and
    // keep the image alive meanwhile.
    std::vector<RAMImageClient*> snapshot;
    for (RAMImageClient* c = img->clients; c; c = c->next) snapshot.push_back(c);
    ++img->openCount;
    for (RAMImageClient* c : snapshot) {
        bool linked = false;
        for (RAMImageClient* d = img->clients; d; d = d->next)
            if (d == c) linked = true;
        if (!linked || c->owner == except) continue;
        if ((bits & RIMG_CONFIG) && c->configProc) c->configProc(c->clientData);
        linked = false;
        for (RAMImageClient* d = img->clients; d; d = d->next)
            if (d == c) linked = true;
        if (linked && (bits & RIMG_DISPLAY) && c->displayProc) c->displayProc(c->clientData);
    }
    closeRAMImage(img, nullptr);
}

int closeRAMImage(RAMImage* img, RAMImageClient* client) {
    if (!img) return 0;
    if (!unlinkRAMImageClient(client, img) && img->openCount > 0) --img->openCount;
    if (img->cmdOpens < 1 && img->openCount < 1 && !img->clients) {
        if (img->locked()) return 0;
        unlinkRAMImage(img);
        flushRAMImage(img);
        destroyRAMImage(img);
        return 0;
    }
    return img->openCount;
}

void destroyRAMImage(RAMImage* img) {
    delete img;
}
