// Tagged allocation for the SIP stack and the user agent, and the named thread wrapper.
#pragma once

#include <cstddef>

// Every block carries a 16-byte tag in front of it: the base name of the source file cut or
// blank-padded to 12 characters, then the line in 4 characters (blank-padded for plain blocks,
// zero-padded for string copies). libosip2's own allocations go through the same allocator
// (installed as its allocator hook) and carry the generic name "libosip2" with line 0.
constexpr size_t OSIP_TAG_SIZE = 16;

void* osip_tag_malloc(size_t size, const char* file, int line);
void* osip_tag_realloc(void* ptr, size_t size, const char* file, int line);
char* osip_tag_strdup(const char* text, const char* file, int line);
void osip_tag_free(void* ptr);

// Copies the 16 tag bytes of a block into out and terminates them (out holds 17 bytes).
// Returns false for a null pointer.
bool osip_tag_get(const void* ptr, char out[OSIP_TAG_SIZE + 1]);

// Installs the tagged allocator as libosip2's allocator. Runs by itself before main; calling it
// again does nothing. It must run before libosip2 allocates anything, and is never changed.
void osip_alloc_install();

// Number of tagged blocks alive (for leak checks in tests).
long osip_tag_live_blocks();

#define UA_MALLOC(n) osip_tag_malloc((n), __FILE__, __LINE__)
#define UA_STRDUP(s) osip_tag_strdup((s), __FILE__, __LINE__)
#define UA_FREE(p) osip_tag_free(p)

// A thread of the stack or the user agent: {handle, thread id}. The name and the stack size are
// labels of the call; the stack is the default one.
struct OsipThread;
OsipThread* osip_thread_create(const char* name, int stacksize, void* (*func)(void*), void* arg);
// Waits for the thread to end and frees the record; null is ignored.
void osip_thread_join_free(OsipThread* thread);
// True when the caller runs on that thread.
bool osip_thread_is_current(const OsipThread* thread);
const char* osip_thread_name(const OsipThread* thread);
