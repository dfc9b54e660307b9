// SIP stack manager: sockets, the "sipd" receive loop that runs the transactions, the
// "sip_resv" name-resolution thread, and the UDP send callback of the stack.
#include "sip/osipua/osipmanager.h"
#include "sip/osipua/osip_alloc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include <osip2/osip_time.h>

#include "platform/net.h"
#include "sip/osipua/osipdialog.h"
#include "sip/osipua/osipua.h"
#include "sip/osipparser2/osip_rack.h"
#include "sip/osipua/rawresponse.h"
#include "sip/osipua/uatrace.h"
#include "sip/osipua/uatransaction.h"
#include "sip/osipua/utils.h"

namespace {

std::atomic<OsipManager*> g_manager{nullptr};
std::atomic<OsipTrafficTap> g_tap{nullptr};

constexpr uint64_t kRetransmitFilterMs = 500;

// Millisecond stamp of a transaction (the last time a request reached it), kept in reserved2.
uint64_t Stamp(osip_transaction_t* tr) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(osip_transaction_get_reserved2(tr)));
}
void SetStamp(osip_transaction_t* tr, uint64_t ms) {
    osip_transaction_set_reserved2(tr, reinterpret_cast<void*>(static_cast<uintptr_t>(ms)));
}

bool IsMethod(osip_message_t* msg, const char* method) {
    return msg != nullptr && msg->sip_method != nullptr && strcmp(msg->sip_method, method) == 0;
}

bool IsFilteredMethod(const char* method) {
    return method != nullptr && (strcmp(method, "INVITE") == 0 || strcmp(method, "ACK") == 0 ||
                                 strcmp(method, "BYE") == 0 || strcmp(method, "CANCEL") == 0);
}

// A request that repeats the transaction's own request (same method).
bool IsRetransmission(osip_transaction_t* tr, osip_message_t* sip) {
    if (tr->orig_request == nullptr || !MSG_IS_REQUEST(sip)) return false;
    const char* a = tr->orig_request->sip_method;
    const char* b = sip->sip_method;
    return a != nullptr && b != nullptr && strcmp(a, b) == 0 && IsFilteredMethod(b);
}

// Length of the body behind the head of a raw datagram (the part after the empty line).
size_t RawBodyLength(const char* buf, int len) {
    std::string_view text(buf, static_cast<size_t>(len));
    size_t crlf = text.find("\r\n\r\n");
    size_t lf = text.find("\n\n");
    if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf)) return text.size() - crlf - 4;
    if (lf != std::string_view::npos) return text.size() - lf - 2;
    return 0;
}

bool IsDecimal(const char* text) {
    if (text == nullptr || *text == '\0') return false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    return true;
}

// Option tags of every Require header that this user agent does not support (it supports none
// as a server: reliable provisional answers are refused with 420 rather than sent).
std::string UnsupportedTags(osip_message_t* msg) {
    std::string tags;
    osip_header_t* h = nullptr;
    for (int pos = 0; (pos = osip_message_header_get_byname(msg, "require", pos, &h)) >= 0; ++pos) {
        if (h == nullptr || h->hvalue == nullptr) continue;
        std::string_view v(h->hvalue);
        while (!v.empty()) {
            size_t comma = v.find(',');
            std::string_view tag = v.substr(0, comma);
            while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
            while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
            if (!tag.empty()) {
                if (!tags.empty()) tags += ", ";
                tags += tag;
            }
            if (comma == std::string_view::npos) break;
            v.remove_prefix(comma + 1);
        }
    }
    return tags;
}

// Answers a request outside any transaction (it never reaches the transaction machines).
void RespondStateless(OsipManager* m, osip_message_t* req, int status, const char* header, const char* value) {
    osip_message_t* resp = nullptr;
    if (osip_dialog_build_response(nullptr, status, req, &resp) != 0 || resp == nullptr) return;
    if (header != nullptr) osip_message_set_header(resp, header, value);
    char* host = nullptr;
    int port = 5060;
    osip_response_get_destination(resp, &host, &port);
    if (host != nullptr) osip_udp_send(nullptr, resp, host, port, m->main_socket);
    osip_free(host);
    osip_message_free(resp);
}

// Refuses what the transactions must never see: a body shorter than its Content-Length (400),
// another SIP version (505), a CSeq that is not this request's or not a 32-bit number (400),
// an option tag we do not support (420); a response with more than one Via is not ours.
bool RefuseMalformed(OsipManager* m, osip_message_t* msg, const char* buf, int len, const char* host, int port) {
    if (MSG_IS_RESPONSE(msg)) {
        if (osip_list_size(&msg->vias) > 1) {
            UA_TRACE(2, "sipd: response from %s:%d with %d Via headers discarded", host, port, osip_list_size(&msg->vias));
            return true;
        }
        return false;
    }
    if (!MSG_IS_REQUEST(msg) || osip_list_get(&msg->vias, 0) == nullptr) return false;
    bool ack = IsMethod(msg, "ACK");
    auto refuse = [&](int status, const char* why, const char* header = nullptr, const char* value = nullptr) {
        UA_TRACE(2, "sipd: %s request from %s:%d refused with %d (%s)", msg->sip_method, host, port, status, why);
        if (!ack) RespondStateless(m, msg, status, header, value);
        return true;
    };
    if (msg->content_length != nullptr && msg->content_length->value != nullptr) {
        unsigned long declared = strtoul(msg->content_length->value, nullptr, 10);
        if (declared > RawBodyLength(buf, len)) return refuse(400, "body shorter than Content-Length");
    }
    if (msg->sip_version == nullptr || strcmp(msg->sip_version, "SIP/2.0") != 0) return refuse(505, "SIP version");
    if (msg->cseq == nullptr || !IsDecimal(msg->cseq->number) || strlen(msg->cseq->number) > 10 ||
        strtoull(msg->cseq->number, nullptr, 10) > 0xFFFFFFFFull) {
        return refuse(400, "CSeq number");
    }
    if (msg->cseq->method == nullptr || msg->sip_method == nullptr || strcmp(msg->cseq->method, msg->sip_method) != 0) {
        return refuse(400, "CSeq method");
    }
    if (!ack && !IsMethod(msg, "CANCEL")) {
        std::string tags = UnsupportedTags(msg);
        if (!tags.empty()) return refuse(420, "option tag", "Unsupported", tags.c_str());
    }
    return false;
}

// The stack runs timer B only until the first provisional answer; an INVITE that only rings
// still ends when it runs out, and is cancelled.
void ExpireProceedingInvites(osip_t* osip) {
    struct timeval now;
    osip_gettimeofday(&now, nullptr);
    std::vector<osip_transaction_t*> expired;
    for (int i = 0; !osip_list_eol(&osip->osip_ict_transactions, i); ++i) {
        auto* tr = static_cast<osip_transaction_t*>(osip_list_get(&osip->osip_ict_transactions, i));
        osip_ict_t* ict = tr->ict_context;
        if (tr->state != ICT_PROCEEDING || ict == nullptr || ict->timer_b_start.tv_sec == -1) continue;
        if (!osip_timercmp(&now, &ict->timer_b_start, >)) continue;
        ict->timer_b_start.tv_sec = -1;
        expired.push_back(tr);
    }
    for (osip_transaction_t* tr : expired) osip_uatransaction_proceeding_timeout(tr);
}

void* DaemonMain(void* arg);
void* ResolverMain(void* arg);

void AddToReadSet(OsipManager* m, int fd) {
    if (m->read_count >= OSIP_MAX_READ_SOCKETS) return;
    m->read_set[m->read_count++] = fd;
    if (fd > m->highest) m->highest = fd;
}

int OpenBoundSocket(int port) {
    int fd = plat::UdpSocket();
    if (fd < 0) return -1;
    if (!plat::Bind(fd, 0, static_cast<uint16_t>(port))) {
        plat::CloseSocket(fd);
        return -1;
    }
    return fd;
}

void FreeResolveRequest(async_resolv_t* req) {
    if (req == nullptr) return;
    osip_free(req->host);
    osip_free(req);
}

// Ends a client transaction whose destination could not be resolved: it leaves the stack and
// its dialog learns that the request got no response.
void AbandonTransaction(OsipManager* m, osip_transaction_t* tr) {
    osip_manager_lock(m);
    osip_remove_transaction(m->osip, tr);
    osip_uatransaction_removed(tr);
    osip_manager_unlock(m);
}

void ResolveOne(OsipManager* m, async_resolv_t* req) {
    UA_TRACE(3, "Doing asynchronous name resolution.\n");
    if (req->tr != nullptr && req->evt != nullptr) {
        osip_transaction_t* tr = req->tr;
        osip_event_t* evt = req->evt;
        if (EVT_IS_OUTGOINGREQ(evt)) {
            char* host = nullptr;
            int port = 0;
            if (osip_uatransaction_get_dest(tr, &host, &port) != 0 || host == nullptr) {
                UA_TRACE(1, "Very strange transaction, aborting");
                osip_event_free(evt);
                AbandonTransaction(m, tr);
                return;
            }
            uint32_t ip = 0;
            std::string name(host);
            if (!plat::ResolveIPv4(name, &ip)) {
                UA_TRACE(1, "error: host information for %s not found\n", name.c_str());
                UA_TRACE(1, "Could not resolve %s.\n", name.c_str());
                osip_event_free(evt);
                AbandonTransaction(m, tr);
                return;
            }
            osip_uatransaction_set_dest(tr, plat::FormatIPv4(ip).c_str(), port);
            osip_uatransaction_add_event(tr, evt);
            return;
        }
        // An outgoing response: the top Via host is resolved.
        auto* via = static_cast<osip_via_t*>(osip_list_get(&evt->sip->vias, 0));
        if (via == nullptr || via->host == nullptr) {
            UA_TRACE(1, "Could not get the first via header.\n");
            osip_event_free(evt);
            AbandonTransaction(m, tr);
            return;
        }
        uint32_t ip = 0;
        std::string name(via->host);
        if (!plat::ResolveIPv4(name, &ip)) {
            UA_TRACE(1, "error: host information for %s not found\n", name.c_str());
            UA_TRACE(1, "Could not resolve %s.\n", name.c_str());
            osip_event_free(evt);
            return;
        }
        osip_via_set_host(via, UA_STRDUP(plat::FormatIPv4(ip).c_str()));
        osip_uatransaction_add_event(tr, evt);
        return;
    }
    if (req->msg != nullptr && req->host != nullptr) {
        uint32_t ip = 0;
        if (plat::ResolveIPv4(req->host, &ip)) {
            std::string dotted = plat::FormatIPv4(ip);
            osip_udp_send(nullptr, req->msg, const_cast<char*>(dotted.c_str()), req->port, m->main_socket);
        } else {
            UA_TRACE(1, "error: host information for %s not found\n", req->host);
        }
        osip_message_free(req->msg);
        return;
    }
    UA_TRACE(1, "Bad async_resolv_t message, discard it!");
    if (req->msg != nullptr) osip_message_free(req->msg);
    if (req->evt != nullptr) osip_event_free(req->evt);
}

void* ResolverMain(void* arg) {
    auto* m = static_cast<OsipManager*>(arg);
    UA_TRACE(3, "Entering name resolution thread.\n");
    for (;;) {
        async_resolv_t* req = nullptr;
        {
            std::unique_lock<std::mutex> lock(m->resolv_mutex);
            m->resolv_cv.wait(lock, [m] { return !m->resolv_fifo.empty(); });
            req = m->resolv_fifo.front();
            m->resolv_fifo.pop_front();
        }
        if (req == nullptr) {
            UA_TRACE(1, "warning: Null event !\n");
            continue;
        }
        if (req->stop) {
            FreeResolveRequest(req);
            break;
        }
        ResolveOne(m, req);
        FreeResolveRequest(req);
    }
    UA_TRACE(3, "osipua resolver thread is exiting.");
    return nullptr;
}

// Reads every waiting datagram of one socket.
void ReadSocket(OsipManager* m, int fd) {
    sockaddr_in from {};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(fd, m->recv_buf, OSIP_RECV_BUF_SIZE, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 1 || n >= OSIP_RECV_BUF_SIZE) return;
    m->recv_buf[n] = '\0';
    uint32_t ip = ntohl(from.sin_addr.s_addr);
    char host[16];
    snprintf(host, sizeof host, "%u.%u.%u.%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
    int port = ntohs(from.sin_port);
    if (!OSIP_IsRegisterActive()) {
        UA_TRACE(3, "sipd: datagram from %s:%d dropped (not registering)", host, port);
        return;
    }
    osip_manager_receive(m, m->recv_buf, static_cast<int>(n), host, port);
}

// Milliseconds from now until a timeval of the stack's clock (0 when past).
int64_t MsUntil(const timeval& due, const timeval& now) {
    int64_t ms = (static_cast<int64_t>(due.tv_sec) - now.tv_sec) * 1000 + (due.tv_usec - now.tv_usec + 999) / 1000;
    return ms < 0 ? 0 : ms;
}

// How long "sipd" may sleep: until the next transaction timer (timer B of a ringing INVITE
// included, which the stack leaves to us) or 2xx repeat falls due, without limit when none is;
// datagrams and new work from other threads (through the wake pipe) end it earlier.
int NextWaitMs(OsipManager* m) {
    int64_t wait = -1;
    auto consider = [&wait](int64_t ms) {
        if (wait < 0 || ms < wait) wait = ms;
    };
    osip_manager_lock(m);
    timeval now {};
    osip_gettimeofday(&now, nullptr);
    timeval tv {};
    osip_timers_gettimeout(m->osip, &tv);
    // The stack answers a year when nothing is pending.
    int64_t timers = static_cast<int64_t>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
    if (timers < 3600LL * 24 * 1000) consider(timers);
    for (int i = 0; !osip_list_eol(&m->osip->osip_ict_transactions, i); ++i) {
        auto* tr = static_cast<osip_transaction_t*>(osip_list_get(&m->osip->osip_ict_transactions, i));
        osip_ict_t* ict = tr->ict_context;
        if (tr->state == ICT_PROCEEDING && ict != nullptr && ict->timer_b_start.tv_sec != -1) {
            // It fires once the clock is past the stamp.
            consider(MsUntil(ict->timer_b_start, now) + 1);
        }
    }
    if (!m->kill_list.empty()) consider(0);
    if (m->ua != nullptr) {
        uint64_t nowMs = osip_now_ms();
        for (OsipDialog* d : m->ua->dialogs) {
            uint64_t due = osip_dialog_next_2xx_ms(d);
            if (due == 0) continue;
            consider(due > nowMs ? static_cast<int64_t>(due - nowMs) : 0);
        }
    }
    osip_manager_unlock(m);
    if (wait > INT32_MAX) wait = INT32_MAX;
    return static_cast<int>(wait);
}

void* DaemonMain(void* arg) {
    auto* m = static_cast<OsipManager*>(arg);
    while (m->daemon_running.load()) {
        m->round_sem.wait(INFINITE);
        pollfd fds[OSIP_MAX_READ_SOCKETS + 1];
        int nfds = 0;
        for (int i = 0; i < m->read_count; ++i) fds[nfds++] = pollfd{m->read_set[i], POLLIN, 0};
        fds[nfds++] = pollfd{m->wake_fd[0], POLLIN, 0};
        int rc = poll(fds, static_cast<nfds_t>(nfds), NextWaitMs(m));
        if (rc > 0) {
            char drain[64];
            if (fds[nfds - 1].revents & POLLIN) {
                while (read(m->wake_fd[0], drain, sizeof drain) > 0) {
                }
            }
            int examined = 0;
            for (int i = 0; i < nfds - 1 && examined < OSIP_MAX_LISTEN_PORTS; ++i) {
                if (fds[i].revents & (POLLIN | POLLERR)) {
                    ++examined;
                    ReadSocket(m, fds[i].fd);
                }
            }
        }
        osip_manager_run_once(m);
        m->round_sem.release();
    }
    return nullptr;
}

}  // namespace

uint64_t osip_now_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

OsipManager* osip_manager_get() { return g_manager.load(); }

void osip_manager_set_tap(OsipTrafficTap tap) { g_tap.store(tap); }

OsipManager* osip_manager_new() {
    osip_alloc_install();
    auto* m = new OsipManager();
    if (osip_init(&m->osip) != 0) {
        delete m;
        return nullptr;
    }
    osip_set_application_context(m->osip, m);
    osip_uatransaction_register_callbacks(m->osip);
    if (pipe2(m->wake_fd, O_NONBLOCK | O_CLOEXEC) != 0) {
        m->wake_fd[0] = m->wake_fd[1] = -1;
    }
    g_manager.store(m);
    return m;
}

int osip_manager_set_main_port(OsipManager* m, int port) {
    if (m == nullptr) return -1;
    if (port == m->main_port && m->main_socket >= 0) return 0;
    if (m->main_socket >= 0) {
        bool listed = false;
        for (int i = 0; i < OSIP_MAX_LISTEN_PORTS; ++i) listed = listed || m->listen_sockets[i] == m->main_socket;
        if (!listed) plat::CloseSocket(m->main_socket);
        m->main_socket = -1;
    }
    int fd = OpenBoundSocket(port);
    if (fd < 0) return -1;
    m->main_socket = fd;
    m->main_port = port;
    return 0;
}

int osip_manager_add_listening_port(OsipManager* m, int port) {
    if (m == nullptr) return -1;
    int slot = -1;
    for (int i = 0; i < OSIP_MAX_LISTEN_PORTS; ++i) {
        if (m->listen_ports[i] == port && m->listen_sockets[i] >= 0) return -1;
        if (slot < 0 && m->listen_ports[i] == 0) slot = i;
    }
    if (slot < 0) return -1;
    int fd = (port == m->main_port && m->main_socket >= 0) ? m->main_socket : OpenBoundSocket(port);
    if (fd < 0) return -1;
    m->listen_ports[slot] = port;
    m->listen_sockets[slot] = fd;
    AddToReadSet(m, fd);
    return 0;
}

void osip_daemon_start(OsipManager* m) {
    if (m == nullptr || m->daemon_thread != nullptr) return;
    m->daemon_running.store(1);
    m->daemon_thread = osip_thread_create("sipd", 20000, DaemonMain, m);
    if (m->daemon_thread == nullptr) m->daemon_running.store(0);
}

void osip_resolver_start(OsipManager* m) {
    if (m == nullptr) return;
    std::lock_guard<std::mutex> lock(m->resolv_mutex);
    if (m->resolver_thread != nullptr) return;
    m->resolver_running.store(1);
    m->resolver_thread = osip_thread_create("sip_resv", 20000, ResolverMain, m);
    if (m->resolver_thread == nullptr) m->resolver_running.store(0);
}

void osip_daemon_stop(OsipManager* m) {
    if (m == nullptr || m->daemon_thread == nullptr) return;
    m->daemon_running.store(0);
    osip_manager_wake(m);
    osip_thread_join_free(m->daemon_thread);
    m->daemon_thread = nullptr;
}

void osip_resolver_stop(OsipManager* m) {
    if (m == nullptr) return;
    OsipThread* t = nullptr;
    {
        std::lock_guard<std::mutex> lock(m->resolv_mutex);
        t = m->resolver_thread;
        m->resolver_thread = nullptr;
        if (t != nullptr) {
            auto* stop = static_cast<async_resolv_t*>(UA_MALLOC(sizeof(async_resolv_t)));
            if (stop != nullptr) {
                memset(stop, 0, sizeof *stop);
                stop->stop = 1;
                m->resolv_fifo.push_back(stop);
            }
        }
    }
    if (t == nullptr) return;
    m->resolv_cv.notify_all();
    osip_thread_join_free(t);
    m->resolver_running.store(0);
}

void osip_manager_destroy(OsipManager* m) {
    if (m == nullptr) return;
    osip_daemon_stop(m);
    osip_resolver_stop(m);
    // Requests the resolver never took.
    for (async_resolv_t* req : m->resolv_fifo) {
        if (req == nullptr) continue;
        if (req->evt != nullptr) osip_event_free(req->evt);
        if (req->msg != nullptr) osip_message_free(req->msg);
        FreeResolveRequest(req);
    }
    m->resolv_fifo.clear();
    for (int i = 0; i < OSIP_MAX_LISTEN_PORTS; ++i) {
        if (m->listen_sockets[i] >= 0) {
            if (m->listen_sockets[i] == m->main_socket) m->main_socket = -1;
            plat::CloseSocket(m->listen_sockets[i]);
            m->listen_sockets[i] = -1;
        }
    }
    if (m->main_socket >= 0) plat::CloseSocket(m->main_socket);
    m->main_socket = -1;
    // Every transaction still known to the stack, then the ones waiting to be freed.
    osip_manager_lock(m);
    osip_list_t* lists[] = {&m->osip->osip_ict_transactions, &m->osip->osip_ist_transactions,
                            &m->osip->osip_nict_transactions, &m->osip->osip_nist_transactions};
    for (osip_list_t* list : lists) {
        while (!osip_list_eol(list, 0)) {
            auto* tr = static_cast<osip_transaction_t*>(osip_list_get(list, 0));
            osip_remove_transaction(m->osip, tr);
            osip_uatransaction_set_dialog(tr, nullptr);
            osip_transaction_free2(tr);
        }
    }
    for (osip_transaction_t* tr : m->kill_list) osip_transaction_free2(tr);
    m->kill_list.clear();
    osip_manager_unlock(m);
    osip_release(m->osip);
    m->osip = nullptr;
    for (int& fd : m->wake_fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    OsipManager* expected = m;
    g_manager.compare_exchange_strong(expected, nullptr);
    delete m;
}

void osip_manager_lock(OsipManager* m) { m->stack_mutex.lock(); }
void osip_manager_unlock(OsipManager* m) { m->stack_mutex.unlock(); }

bool osip_manager_on_daemon(const OsipManager* m) {
    return m != nullptr && osip_thread_is_current(m->daemon_thread);
}

void osip_manager_wake(OsipManager* m) {
    if (m == nullptr || m->wake_fd[1] < 0) return;
    char c = 1;
    ssize_t rc = write(m->wake_fd[1], &c, 1);
    (void)rc;
}

void osip_manager_queue_resolve(OsipManager* m, async_resolv_t* req) {
    if (m == nullptr || req == nullptr) return;
    osip_resolver_start(m);
    UA_TRACE(3, "info: Name resolution requested.\n");
    {
        std::lock_guard<std::mutex> lock(m->resolv_mutex);
        m->resolv_fifo.push_back(req);
    }
    m->resolv_cv.notify_one();
}

void osip_manager_kill_transaction(OsipManager* m, osip_transaction_t* tr) {
    if (m == nullptr || tr == nullptr) return;
    osip_manager_lock(m);
    m->kill_list.push_back(tr);
    osip_manager_unlock(m);
    // Freed by the next round of "sipd", which another thread's kill must bring about.
    if (!osip_manager_on_daemon(m)) osip_manager_wake(m);
}

void osip_manager_run_once(OsipManager* m) {
    if (m == nullptr || m->osip == nullptr) return;
    osip_manager_lock(m);
    osip_t* osip = m->osip;
    osip_ict_execute(osip);
    osip_ist_execute(osip);
    osip_nict_execute(osip);
    osip_nist_execute(osip);
    ExpireProceedingInvites(osip);
    osip_timers_ict_execute(osip);
    osip_timers_ist_execute(osip);
    osip_timers_nict_execute(osip);
    osip_timers_nist_execute(osip);
    // Time-outs raised by the timers run at once rather than on the next round.
    osip_ict_execute(osip);
    osip_ist_execute(osip);
    osip_nict_execute(osip);
    osip_nist_execute(osip);
    std::vector<osip_transaction_t*> dead;
    dead.swap(m->kill_list);
    for (osip_transaction_t* tr : dead) osip_transaction_free2(tr);
    if (m->ua != nullptr) {
        uint64_t now = osip_now_ms();
        std::vector<OsipDialog*> dialogs = m->ua->dialogs;
        for (OsipDialog* d : dialogs) osip_dialog_retransmit_2xx(d, now);
        OSIP_CollectDialogs(m->ua);
        OSIP_RoundDone();
    }
    osip_manager_unlock(m);
}

void osip_manager_receive(OsipManager* m, const char* buf, int len, const char* host, int port) {
    if (m == nullptr || buf == nullptr || len <= 0) return;
    OsipTrafficTap tap = g_tap.load();
    if (tap != nullptr) tap(false, buf, len, host, port);
    osip_event_t* evt = osip_parse(buf, static_cast<size_t>(len));
    // The RAck is ours to parse: a second one, or one that does not read, fails the message's parse.
    if (evt != nullptr && evt->sip != nullptr) {
        osip_rack_t* rack = nullptr;
        const int racks = osip_message_rack_count(evt->sip);
        const bool bad = racks > 1 || (racks == 1 && osip_message_get_rack(evt->sip, &rack) != 0);
        if (rack != nullptr) osip_rack_free(rack);
        if (bad) {
            osip_event_free(evt);
            evt = nullptr;
        }
    }
    if (evt == nullptr) {
        // The parser refuses some malformed requests outright (a Content-Length beyond the body):
        // one whose headers can still be read is answered, or its sender would repeat it for 32 s.
        char tag[OSIP_RANDOM_LEN + 1];
        OSIP_RandomString(tag, OSIP_RANDOM_LEN);
        OsipRawResponse answer;
        if (OSIP_BuildRawResponse(buf, static_cast<size_t>(len), 400, "Bad Request", host, port, tag, &answer)) {
            UA_TRACE(2, "sipd: unparsable %s request from %s:%d refused with 400", answer.method.c_str(), host, port);
            osip_udp_send_text(answer.text.data(), answer.text.size(), answer.host.c_str(), answer.port, m->main_socket);
        } else {
            UA_TRACE(2, "sipd: unparsable datagram from %s:%d dropped", host, port);
        }
        return;
    }
    if (evt->sip == nullptr) {
        osip_event_free(evt);
        return;
    }
    if (MSG_IS_REQUEST(evt->sip)) OSIP_SetReceived(evt->sip, host, port);
    if (RefuseMalformed(m, evt->sip, buf, len, host, port)) {
        osip_event_free(evt);
        return;
    }

    osip_manager_lock(m);
    osip_transaction_t* tr = __osip_find_transaction(m->osip, evt, 0);
    if (tr != nullptr) {
        uint64_t now = osip_now_ms();
        if (IsRetransmission(tr, evt->sip) && now - Stamp(tr) < kRetransmitFilterMs) {
            osip_event_free(evt);
        } else {
            SetStamp(tr, now);
            osip_transaction_add_event(tr, evt);
        }
    } else if (osip_ua_handle_stray(m, evt)) {
        osip_event_free(evt);
    } else if (EVT_IS_INCOMINGREQ(evt) && !EVT_IS_RCV_ACK(evt)) {
        tr = osip_create_transaction(m->osip, evt);
        if (tr == nullptr) {
            osip_event_free(evt);
        } else {
            SetStamp(tr, osip_now_ms());
            osip_transaction_set_out_socket(tr, m->main_socket);
            osip_transaction_add_event(tr, evt);
        }
    } else {
        osip_event_free(evt);
    }
    osip_manager_unlock(m);
    osip_manager_run_once(m);
}

int osip_udp_send(osip_transaction_t* /*tr*/, osip_message_t* msg, char* host, int port, int sock) {
    if (msg == nullptr) {
        UA_TRACE(1, "osip_udp_send: NULL message.");
        return 0;
    }
    char* text = nullptr;
    size_t len = 0;
    if (osip_message_to_str(msg, &text, &len) != 0 || text == nullptr) {
        UA_TRACE(1, "osip_udp_send: could not print the message.");
        return -1;
    }
    int rc = osip_udp_send_text(text, len, host, port, sock);
    osip_free(text);
    return rc;
}

int osip_udp_send_text(const char* text, size_t len, const char* host, int port, int sock) {
    if (len >= static_cast<size_t>(OSIP_SEND_BUF_SIZE)) {
        UA_TRACE(1, "osip_udp_send: message of %u bytes refused.", static_cast<unsigned>(len));
        return -1;
    }
    uint32_t ip = 0;
    if (host == nullptr || !plat::ParseIPv4(host, &ip)) {
        UA_TRACE(1, "osip_udp_send: dest host error.");
        return -1;
    }
    OsipManager* m = g_manager.load();
    int fd = sock >= 1 ? sock : (m != nullptr ? m->main_socket : -1);
    // Tapped before it leaves: whoever sees the peer's reaction must find the datagram already there.
    OsipTrafficTap tap = g_tap.load();
    if (tap != nullptr) tap(true, text, static_cast<int>(len), host, port);
    // A port that does not fit 16 bits would name another one once cut.
    if (port < 1 || port > 65535 || plat::SendTo(fd, text, len, ip, static_cast<uint16_t>(port)) < 0) {
        UA_TRACE(1, "osip_udp_send: sendto error. ");
    } else {
        UA_TRACE(3, "osip_udp_send: %u bytes to %s:%d", static_cast<unsigned>(len), host, port);
    }
    return 0;
}

int osip_manager_send_raw(OsipManager* m, osip_message_t* msg, const char* host, int port) {
    if (m == nullptr || msg == nullptr || host == nullptr) {
        if (msg != nullptr) osip_message_free(msg);
        return -1;
    }
    if (OSIP_IsDotted(host)) {
        int rc = osip_udp_send(nullptr, msg, const_cast<char*>(host), port, m->main_socket);
        osip_message_free(msg);
        return rc;
    }
    return OSIP_ResolveHost(m, host, port, msg);
}
