// SIP stack manager: the libosip2 stack, its UDP sockets, the receive daemon "sipd", the
// resolver "sip_resv", and the stack's send callback.
#pragma once

#include "sip/osipua/osipstack.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/sync.h"
#include "sip/osipua/osip_alloc.h"

struct OsipUa;
struct OSIP_UA_MSG;

constexpr int OSIP_MAX_LISTEN_PORTS = 5;
constexpr int OSIP_MAX_READ_SOCKETS = 64;
constexpr int OSIP_RECV_BUF_SIZE = 4000;   // a datagram of this size or more is dropped
constexpr int OSIP_SEND_BUF_SIZE = 4000;   // a message printing to this size or more is refused

// Request to "sip_resv": a transaction and its event (the name of the transaction's
// destination, or of the top Via host for a response), or a raw message with host and port.
struct async_resolv_t {
    osip_transaction_t* tr;
    osip_event_t* evt;
    char* host;
    int port;
    osip_message_t* msg;
    osip_dialog_t* dialog;
    int stop;  // wake-up sentinel of the shutdown
};

struct OsipManager {
    osip_t* osip = nullptr;
    int main_socket = -1;
    int main_port = 0;
    int listen_ports[OSIP_MAX_LISTEN_PORTS] = {};
    int listen_sockets[OSIP_MAX_LISTEN_PORTS] = {-1, -1, -1, -1, -1};
    int read_count = 0;
    int read_set[OSIP_MAX_READ_SOCKETS] = {};
    int highest = -1;
    std::atomic<int> daemon_running{0};
    std::atomic<int> resolver_running{0};
    char recv_buf[OSIP_RECV_BUF_SIZE + 1] = {};
    OsipThread* daemon_thread = nullptr;
    OsipThread* resolver_thread = nullptr;
    plat::Semaphore sem_a{1, 1};
    plat::Semaphore sem_b{0, 1};
    plat::Semaphore round_sem{1, 1};   // guards each round of "sipd"
    // Resolver requests.
    std::mutex resolv_mutex;
    std::condition_variable resolv_cv;
    std::deque<async_resolv_t*> resolv_fifo;
    // Guards the transaction machines and the user agent's dialogs.
    plat::RecursiveMutex stack_mutex;
    std::vector<osip_transaction_t*> kill_list;   // transactions waiting to be freed
    int wake_fd[2] = {-1, -1};                    // wakes "sipd" when work was added
    // The user agent's event queue and thread ("sipua").
    std::mutex ua_fifo_mutex;
    std::deque<OSIP_UA_MSG*> ua_fifo;
    plat::Semaphore ua_event_sem{0, 1L << 30};
    plat::Semaphore ua_thread_sem{1, 1};
    OsipThread* ua_thread = nullptr;
    OsipUa* ua = nullptr;
};

OsipManager* osip_manager_new();
// 0 / -1: binds the main UDP socket to any address and the port.
int osip_manager_set_main_port(OsipManager* m, int port);
// 0 / -1 (port already listed, no free slot, bind failure).
int osip_manager_add_listening_port(OsipManager* m, int port);
void osip_daemon_start(OsipManager* m);
void osip_resolver_start(OsipManager* m);
void osip_daemon_stop(OsipManager* m);
void osip_resolver_stop(OsipManager* m);
void osip_manager_destroy(OsipManager* m);

// The stack's send callback: prints the message into its own buffer (refused at 4000 bytes or
// more) and sends it to host:port (dotted IPv4 only) on the socket, or on the main socket.
int osip_udp_send(osip_transaction_t* tr, osip_message_t* msg, char* host, int port, int sock);
// The same for a message already in text.
int osip_udp_send_text(const char* text, size_t len, const char* host, int port, int sock);
// Sends a raw message to a host (dotted now, or through "sip_resv").
int osip_manager_send_raw(OsipManager* m, osip_message_t* msg, const char* host, int port);

// Stack mutex (recursive) and "is the caller sipd".
void osip_manager_lock(OsipManager* m);
void osip_manager_unlock(OsipManager* m);
bool osip_manager_on_daemon(const OsipManager* m);
// Wakes "sipd" so that newly added events run at once.
void osip_manager_wake(OsipManager* m);
// Queues a request for "sip_resv" (starting it when needed).
void osip_manager_queue_resolve(OsipManager* m, async_resolv_t* req);

// Handles one received datagram as "sipd" does (parse, Via update, dispatch, one run of the
// stack). Also the entry of tests that inject traffic.
void osip_manager_receive(OsipManager* m, const char* buf, int len, const char* host, int port);
// One run of the stack: the four machines, their timers, the kill list (takes the mutex).
void osip_manager_run_once(OsipManager* m);
// Frees a transaction later, after the current run (kill callbacks).
void osip_manager_kill_transaction(OsipManager* m, osip_transaction_t* tr);

// The current process-wide manager (set while one exists).
OsipManager* osip_manager_get();

// Traffic tap for tests: sees every datagram sent (text, length, host, port) and received.
typedef void (*OsipTrafficTap)(bool sent, const char* text, int len, const char* host, int port);
void osip_manager_set_tap(OsipTrafficTap tap);

// Milliseconds of the real monotonic clock (network timers are never test-driven).
uint64_t osip_now_ms();
