// Tagged allocator installed under libosip2, and the thread wrapper of the SIP threads.
#include "sip/osipua/osip_alloc.h"

#include <osipparser2/osip_port.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace {

std::atomic<long> g_liveBlocks{0};

// Base name after the last '/' or '\'.
const char* BaseName(const char* path) {
    if (path == nullptr) return "";
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

// Writes the 16 tag bytes without a terminator: 12 characters of name, 4 of line.
void WriteTag(unsigned char* tag, const char* file, int line, bool zeroPad) {
    const char* name = BaseName(file);
    size_t n = strlen(name);
    if (n > 12) n = 12;
    memset(tag, ' ', 12);
    memcpy(tag, name, n);
    char digits[16];
    unsigned v = line < 0 ? 0u : static_cast<unsigned>(line) % 10000u;
    snprintf(digits, sizeof digits, zeroPad ? "%04u" : "%4u", v);
    memcpy(tag + 12, digits, 4);
}

void* Alloc(size_t size, const char* file, int line, bool zeroPad) {
    if (size > SIZE_MAX - OSIP_TAG_SIZE) return nullptr;
    auto* block = static_cast<unsigned char*>(malloc(size + OSIP_TAG_SIZE));
    if (block == nullptr) return nullptr;
    WriteTag(block, file, line, zeroPad);
    g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
    return block + OSIP_TAG_SIZE;
}

void* HookMalloc(size_t size) { return Alloc(size, "libosip2", 0, false); }
void* HookRealloc(void* ptr, size_t size) { return osip_tag_realloc(ptr, size, "libosip2", 0); }
void HookFree(void* ptr) { osip_tag_free(ptr); }

std::once_flag g_installOnce;

__attribute__((constructor)) void InstallEarly() { osip_alloc_install(); }

}  // namespace

void osip_alloc_install() {
    std::call_once(g_installOnce, [] { osip_set_allocators(HookMalloc, HookRealloc, HookFree); });
}

void* osip_tag_malloc(size_t size, const char* file, int line) { return Alloc(size, file, line, false); }

char* osip_tag_strdup(const char* text, const char* file, int line) {
    if (text == nullptr) return nullptr;
    size_t n = strlen(text);
    auto* copy = static_cast<char*>(Alloc(n + 1, file, line, true));
    if (copy != nullptr) memcpy(copy, text, n + 1);
    return copy;
}

void* osip_tag_realloc(void* ptr, size_t size, const char* file, int line) {
    if (ptr == nullptr) return Alloc(size, file, line, false);
    if (size > SIZE_MAX - OSIP_TAG_SIZE) return nullptr;
    auto* block = static_cast<unsigned char*>(ptr) - OSIP_TAG_SIZE;
    auto* grown = static_cast<unsigned char*>(realloc(block, size + OSIP_TAG_SIZE));
    if (grown == nullptr) return nullptr;
    return grown + OSIP_TAG_SIZE;
}

void osip_tag_free(void* ptr) {
    if (ptr == nullptr) return;
    g_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    free(static_cast<unsigned char*>(ptr) - OSIP_TAG_SIZE);
}

bool osip_tag_get(const void* ptr, char out[OSIP_TAG_SIZE + 1]) {
    if (ptr == nullptr) return false;
    memcpy(out, static_cast<const unsigned char*>(ptr) - OSIP_TAG_SIZE, OSIP_TAG_SIZE);
    out[OSIP_TAG_SIZE] = '\0';
    return true;
}

long osip_tag_live_blocks() { return g_liveBlocks.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------------------------

struct OsipThread {
    std::thread thread;
    std::atomic<std::thread::id> id{};
    char name[16];
};

OsipThread* osip_thread_create(const char* name, int /*stacksize*/, void* (*func)(void*), void* arg) {
    if (func == nullptr) return nullptr;
    auto* t = new (std::nothrow) OsipThread();
    if (t == nullptr) return nullptr;
    snprintf(t->name, sizeof t->name, "%s", name != nullptr ? name : "");
    try {
        t->thread = std::thread([t, func, arg] {
            t->id.store(std::this_thread::get_id());
            func(arg);
        });
    } catch (...) {
        delete t;
        return nullptr;
    }
    t->id.store(t->thread.get_id());
    return t;
}

void osip_thread_join_free(OsipThread* thread) {
    if (thread == nullptr) return;
    if (thread->thread.joinable()) {
        if (thread->thread.get_id() == std::this_thread::get_id()) {
            thread->thread.detach();
        } else {
            thread->thread.join();
        }
    }
    delete thread;
}

bool osip_thread_is_current(const OsipThread* thread) {
    return thread != nullptr && thread->id.load() == std::this_thread::get_id();
}

const char* osip_thread_name(const OsipThread* thread) { return thread != nullptr ? thread->name : ""; }
