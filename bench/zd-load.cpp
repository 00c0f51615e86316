// zd-load: both ends of the forwarder benchmark. The server end terminates TLS the way a mount
// target does; the client end speaks plain TCP the way an NFS client does. A forwarder under
// test sits between them, so every byte the client sends or receives has crossed it twice.
//
// The server end makes every connection pay for a full handshake, except while the benchmark
// has switched sessions on (SIGRTMIN; SIGRTMIN+1 switches them off again) for the reconnect
// workload, which also has it reset all its connections at once (SIGUSR1: a blip).
//
// Every connection starts with a hello that names its workload; from then on each direction is
// one stream of a fixed pseudo-random pattern, starting at an offset drawn per connection. Each
// end checks every byte it receives against the pattern at its stream position, so a lost,
// doubled, reordered or foreign byte fails the run, and nothing is copied to check it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace
{

constexpr uint32_t HELLO_MAGIC = 0x314c445a; // "ZDL1" on the wire
constexpr uint32_t ACK_MAGIC = 0x4b41445a;   // "ZDAK"
constexpr uint32_t MODE_UP = 1;
constexpr uint32_t MODE_DOWN = 2;
constexpr uint32_t MODE_ECHO = 3;

// Both ends run on the same host, so the records travel in host byte order.
struct hello {
    uint32_t magic;
    uint32_t mode;
    uint64_t bytes; // MODE_UP and MODE_DOWN: the stream's length
    uint32_t req;   // MODE_ECHO: request and reply sizes
    uint32_t reply;
    uint64_t seed; // start offset of the client's stream; the server's follows from it
};
static_assert(sizeof(hello) == 32);

struct ack {
    uint32_t magic;
    uint32_t status; // 0: every byte matched the pattern
    uint64_t bytes;  // bytes the server received
};
static_assert(sizeof(ack) == 16);

// A prime period: a slip by any buffer or record size moves the data out of phase with the
// pattern instead of onto an identical copy of it.
constexpr size_t PATTERN_PERIOD = 1048573;
constexpr size_t MAX_SPAN = size_t{1} << 20; // longest contiguous read of the pattern
constexpr size_t IO_CHUNK = 256 * 1024;
constexpr uint32_t MAX_MESSAGE = 1u << 20;
static_assert(IO_CHUNK <= MAX_SPAN && MAX_MESSAGE <= MAX_SPAN);

uint8_t *pattern; // PATTERN_PERIOD + MAX_SPAN bytes: the tail repeats the head

void pattern_init()
{
    pattern = static_cast<uint8_t *>(malloc(PATTERN_PERIOD + MAX_SPAN));
    if (!pattern)
        abort();
    uint64_t x = 0x9e3779b97f4a7c15ull;
    for (size_t i = 0; i < PATTERN_PERIOD; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        pattern[i] = static_cast<uint8_t>(x >> 24);
    }
    // The tail is longer than the period, so it is copied forward byte by byte.
    for (size_t i = PATTERN_PERIOD; i < PATTERN_PERIOD + MAX_SPAN; i++)
        pattern[i] = pattern[i - PATTERN_PERIOD];
}

const uint8_t *pattern_at(uint64_t pos)
{
    return pattern + pos % PATTERN_PERIOD;
}

bool pattern_matches(uint64_t pos, const uint8_t *data, size_t n)
{
    while (n > 0) {
        size_t k = std::min(n, MAX_SPAN);
        if (memcmp(data, pattern_at(pos), k) != 0)
            return false;
        data += k;
        pos += k;
        n -= k;
    }
    return true;
}

// The server's stream is kept apart from the client's so that an echo of the request, which a
// confused forwarder might produce, does not pass for the reply.
uint64_t down_start(uint64_t seed)
{
    return seed * 7 + 104729;
}

int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double seconds_of_ns(int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

double cpu_seconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void sleep_ns(int64_t ns)
{
    if (ns <= 0)
        return;
    struct timespec ts = {.tv_sec = ns / 1000000000, .tv_nsec = ns % 1000000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------------------------------------
// One connection end: plain descriptor, or a TLS session over it.

struct link {
    int fd = -1;
    SSL *ssl = nullptr;
};

// Returns the count read, 0 at an orderly end of stream, -1 on failure.
ssize_t link_read(link &l, void *buf, size_t n)
{
    if (!l.ssl) {
        for (;;) {
            ssize_t r = read(l.fd, buf, n);
            if (r >= 0 || errno != EINTR)
                return r;
        }
    }
    int cap = static_cast<int>(std::min(n, size_t{1} << 30));
    int r = SSL_read(l.ssl, buf, cap);
    if (r > 0)
        return r;
    int e = SSL_get_error(l.ssl, r);
    return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

int link_write(link &l, const void *buf, size_t n)
{
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    while (n > 0) {
        ssize_t w;
        if (l.ssl) {
            int cap = static_cast<int>(std::min(n, size_t{1} << 30));
            w = SSL_write(l.ssl, p, cap);
            if (w <= 0)
                return -1;
        } else {
            w = write(l.fd, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return -1;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// 1: all n bytes; 0: the stream ended cleanly before the first byte; -1: failure or a stream
// that ended in the middle of the message.
int link_read_exact(link &l, void *buf, size_t n)
{
    uint8_t *p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = link_read(l, p + got, n - got);
        if (r == 0)
            return got == 0 ? 0 : -1;
        if (r < 0)
            return -1;
        got += static_cast<size_t>(r);
    }
    return 1;
}

void set_timeouts(int fd, int seconds)
{
    struct timeval tv = {.tv_sec = seconds, .tv_usec = 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

void set_nodelay(int fd)
{
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
}

// "[v6]:port", "v4:port". Numeric only: inside a namespace that has nothing but loopback,
// name lookups fail even for the loopback addresses.
int parse_endpoint_text(const char *text, sockaddr_storage *ss, socklen_t *len)
{
    char host[64];
    const char *port_text;
    if (text[0] == '[') {
        const char *end = strchr(text, ']');
        if (!end || end[1] != ':' || static_cast<size_t>(end - text - 1) >= sizeof(host))
            return -1;
        memcpy(host, text + 1, static_cast<size_t>(end - text - 1));
        host[end - text - 1] = 0;
        port_text = end + 2;
    } else {
        const char *colon = strrchr(text, ':');
        if (!colon || static_cast<size_t>(colon - text) >= sizeof(host))
            return -1;
        memcpy(host, text, static_cast<size_t>(colon - text));
        host[colon - text] = 0;
        port_text = colon + 1;
    }
    char *rest;
    long port = strtol(port_text, &rest, 10);
    if (*port_text == 0 || *rest != 0 || port < 0 || port > 65535)
        return -1;
    memset(ss, 0, sizeof(*ss));
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(ss);
    auto *v4 = reinterpret_cast<sockaddr_in *>(ss);
    if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        *len = sizeof(*v6);
        return 0;
    }
    if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        *len = sizeof(*v4);
        return 0;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Options shared by both ends.

struct options {
    const char *role = nullptr;
    const char *endpoint = nullptr; // --listen or --connect
    const char *cert = nullptr;
    const char *key = nullptr;
    bool plain = false;
    double max_seconds = 3600; // server lifetime
    const char *workload = nullptr;
    uint64_t bytes = 512ull << 20;
    int conns = 0;
    double seconds = 3;
    uint64_t ops = 1000000;
    uint32_t req = 200;
    uint32_t reply = 0;
    int interval_ms = 100;
    int ramp_ms = 4;
    int timeout_s = 10;
    long server_pid = 0; // reconnect: the server end to blip
};

void usage()
{
    fprintf(stderr,
            "usage: zd-load server --listen ADDR:PORT (--cert FILE --key FILE | --plain)\n"
            "                      [--max-seconds S]\n"
            "       zd-load client --connect ADDR:PORT --workload W [--bytes N] [--conns N]\n"
            "                      [--seconds S] [--ops N] [--req N] [--reply N]\n"
            "                      [--interval-ms N] [--ramp-ms N] [--timeout S]\n"
            "                      [--server-pid PID]\n"
            "workloads: bulk-up bulk-down rpc read connect many reconnect (needs --server-pid)\n"
            "server signals: SIGUSR1 resets every connection, SIGRTMIN turns sessions on,\n"
            "                SIGRTMIN+1 off again\n"
            "sizes take the suffixes K, M and G (binary)\n");
    exit(2);
}

uint64_t size_of_text(const char *text)
{
    char *rest;
    errno = 0;
    unsigned long long v = strtoull(text, &rest, 10);
    if (errno || rest == text)
        usage();
    switch (*rest) {
    case 'K':
        v <<= 10;
        rest++;
        break;
    case 'M':
        v <<= 20;
        rest++;
        break;
    case 'G':
        v <<= 30;
        rest++;
        break;
    default:
        break;
    }
    if (*rest != 0)
        usage();
    return v;
}

double double_of_text(const char *text)
{
    char *rest;
    double v = strtod(text, &rest);
    if (rest == text || *rest != 0 || !(v >= 0))
        usage();
    return v;
}

options parse_options(int argc, char **argv)
{
    options o;
    if (argc < 2)
        usage();
    o.role = argv[1];
    for (int i = 2; i < argc; i++) {
        const char *name = argv[i];
        if (strcmp(name, "--plain") == 0) {
            o.plain = true;
            continue;
        }
        if (i + 1 >= argc)
            usage();
        const char *v = argv[++i];
        if (strcmp(name, "--listen") == 0 || strcmp(name, "--connect") == 0)
            o.endpoint = v;
        else if (strcmp(name, "--cert") == 0)
            o.cert = v;
        else if (strcmp(name, "--key") == 0)
            o.key = v;
        else if (strcmp(name, "--max-seconds") == 0)
            o.max_seconds = double_of_text(v);
        else if (strcmp(name, "--workload") == 0)
            o.workload = v;
        else if (strcmp(name, "--bytes") == 0)
            o.bytes = size_of_text(v);
        else if (strcmp(name, "--conns") == 0)
            o.conns = static_cast<int>(size_of_text(v));
        else if (strcmp(name, "--seconds") == 0)
            o.seconds = double_of_text(v);
        else if (strcmp(name, "--ops") == 0)
            o.ops = size_of_text(v);
        else if (strcmp(name, "--req") == 0)
            o.req = static_cast<uint32_t>(size_of_text(v));
        else if (strcmp(name, "--reply") == 0)
            o.reply = static_cast<uint32_t>(size_of_text(v));
        else if (strcmp(name, "--interval-ms") == 0)
            o.interval_ms = static_cast<int>(size_of_text(v));
        else if (strcmp(name, "--ramp-ms") == 0)
            o.ramp_ms = static_cast<int>(size_of_text(v));
        else if (strcmp(name, "--timeout") == 0)
            o.timeout_s = static_cast<int>(size_of_text(v));
        else if (strcmp(name, "--server-pid") == 0)
            o.server_pid = static_cast<long>(size_of_text(v));
        else
            usage();
    }
    if (!o.endpoint)
        usage();
    return o;
}

// ---------------------------------------------------------------------------------------------
// Server end.

struct server_stats {
    std::atomic<uint64_t> conns{0};
    std::atomic<uint64_t> handshake_fails{0};
    std::atomic<uint64_t> check_fails{0};
    std::atomic<uint64_t> io_fails{0};
    std::atomic<uint64_t> bytes_in{0};
    std::atomic<uint64_t> bytes_out{0};
    std::atomic<uint64_t> resumed{0};
    std::atomic<uint64_t> blipped{0};
};

server_stats stats;
SSL_CTX *server_ctx;
// The same certificate with the session cache and tickets on, for connections accepted while
// sessions are switched on.
SSL_CTX *resume_ctx;
std::atomic<bool> sessions_on{false};
volatile sig_atomic_t stop_requested;
int server_timeout_s = 30;

// The connections being served, so that a blip reaches all of them at once: descriptor, and
// whether the blip has reached it. A connection leaves the table before its descriptor is
// closed, so a blip never touches a descriptor that has been reused meanwhile.
std::mutex live_mx;
std::unordered_map<int, bool> live;

void live_add(int fd)
{
    std::lock_guard<std::mutex> g(live_mx);
    live[fd] = false;
}

bool live_remove(int fd)
{
    std::lock_guard<std::mutex> g(live_mx);
    bool blipped = live[fd];
    live.erase(fd);
    return blipped;
}

// Shutting the reading side wakes the connection's thread from its read without sending
// anything; the thread then resets the connection. A thread blocked in a write would see the
// blip only at its next read, but in the reconnect workload every connection waits to read.
size_t blip_all()
{
    std::lock_guard<std::mutex> g(live_mx);
    for (auto &[fd, blipped] : live) {
        blipped = true;
        shutdown(fd, SHUT_RD);
    }
    return live.size();
}

void on_stop_signal(int)
{
    stop_requested = 1;
}

// Session tickets and the session cache are off so that every connection pays for a full
// handshake, whichever forwarder makes it: some of them resume sessions on their own. With
// `sessions` both are on, as a mount target's usually are.
SSL_CTX *new_server_ctx(const char *cert, const char *key, bool sessions)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || !SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) ||
        !SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) ||
        !SSL_CTX_set_cipher_list(ctx, "ECDHE-RSA-AES256-GCM-SHA384") ||
        SSL_CTX_use_certificate_chain_file(ctx, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    if (sessions) {
        static const unsigned char sid_ctx[] = "zd-load";
        SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
        SSL_CTX_set_session_id_context(ctx, sid_ctx, sizeof(sid_ctx) - 1);
        return ctx;
    }
    SSL_CTX_set_options(ctx,
                        SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return ctx;
}

// A blipped connection ends with a reset: no close_notify, no FIN, as when a server goes away.
void end_connection(link &l, bool blipped)
{
    if (l.ssl) {
        if (!blipped)
            SSL_shutdown(l.ssl);
        SSL_free(l.ssl);
        ERR_clear_error();
    }
    if (blipped) {
        struct linger abortive = {1, 0};
        setsockopt(l.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
    }
    close(l.fd);
}

// Reads the whole upload, checking it as it comes, then tells the client what it found.
void serve_up(link &l, const hello &h)
{
    std::vector<uint8_t> buf(IO_CHUNK);
    uint64_t pos = h.seed;
    uint64_t got = 0;
    bool good = true;
    while (got < h.bytes) {
        ssize_t r = link_read(l, buf.data(), std::min<uint64_t>(IO_CHUNK, h.bytes - got));
        if (r <= 0) {
            stats.io_fails++;
            return;
        }
        if (good && !pattern_matches(pos, buf.data(), static_cast<size_t>(r)))
            good = false;
        pos += static_cast<uint64_t>(r);
        got += static_cast<uint64_t>(r);
    }
    stats.bytes_in += got;
    if (!good)
        stats.check_fails++;
    ack a = {.magic = ACK_MAGIC, .status = good ? 0u : 1u, .bytes = got};
    if (link_write(l, &a, sizeof(a)) != 0)
        stats.io_fails++;
}

void serve_down(link &l, const hello &h)
{
    uint64_t pos = down_start(h.seed);
    uint64_t left = h.bytes;
    while (left > 0) {
        size_t k = static_cast<size_t>(std::min<uint64_t>(IO_CHUNK, left));
        if (link_write(l, pattern_at(pos), k) != 0) {
            stats.io_fails++;
            return;
        }
        pos += k;
        left -= k;
    }
    stats.bytes_out += h.bytes;
    // The client closes once it has checked everything; waiting for that keeps the last
    // records from being lost to a reset should the forwarder still be sending them.
    uint8_t byte;
    (void)link_read(l, &byte, 1);
}

// Answers requests until the client ends the stream between two of them. A request that does
// not match ends the connection at once: the client sees it as a failed operation.
void serve_echo(link &l, const hello &h)
{
    if (h.req == 0 || h.req > MAX_MESSAGE || h.reply == 0 || h.reply > MAX_MESSAGE) {
        stats.check_fails++;
        return;
    }
    std::vector<uint8_t> req(h.req);
    uint64_t in_pos = h.seed;
    uint64_t out_pos = down_start(h.seed);
    for (;;) {
        int r = link_read_exact(l, req.data(), h.req);
        if (r == 0)
            return;
        if (r < 0) {
            stats.io_fails++;
            return;
        }
        if (!pattern_matches(in_pos, req.data(), h.req)) {
            stats.check_fails++;
            return;
        }
        in_pos += h.req;
        if (link_write(l, pattern_at(out_pos), h.reply) != 0) {
            stats.io_fails++;
            return;
        }
        out_pos += h.reply;
        stats.bytes_in += h.req;
        stats.bytes_out += h.reply;
    }
}

void serve_connection(int fd)
{
    link l{.fd = fd, .ssl = nullptr};
    set_timeouts(fd, server_timeout_s);
    set_nodelay(fd);
    live_add(fd);
    if (server_ctx) {
        l.ssl = SSL_new(sessions_on ? resume_ctx : server_ctx);
        if (!l.ssl || SSL_set_fd(l.ssl, fd) != 1 || SSL_accept(l.ssl) != 1) {
            stats.handshake_fails++;
            ERR_clear_error();
            SSL_free(l.ssl);
            l.ssl = nullptr;
            end_connection(l, live_remove(fd));
            return;
        }
        if (SSL_session_reused(l.ssl))
            stats.resumed++;
    }
    hello h;
    int r = link_read_exact(l, &h, sizeof(h));
    if (r < 0 || (r == 1 && h.magic != HELLO_MAGIC)) {
        stats.check_fails++;
    } else if (r == 1) {
        switch (h.mode) {
        case MODE_UP:
            serve_up(l, h);
            break;
        case MODE_DOWN:
            serve_down(l, h);
            break;
        case MODE_ECHO:
            serve_echo(l, h);
            break;
        default:
            stats.check_fails++;
            break;
        }
    }
    end_connection(l, live_remove(fd));
}

void *connection_thread(void *arg)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    serve_connection(fd);
    return nullptr;
}

// One detached thread per connection: blocking I/O costs the fewest system calls per byte,
// and a few hundred threads are cheap next to the TLS work each of them does.
bool spawn_connection_thread(int fd)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t t;
    int rc = pthread_create(&t, &attr, connection_thread, reinterpret_cast<void *>(intptr_t{fd}));
    pthread_attr_destroy(&attr);
    return rc == 0;
}

int listen_on(const char *text)
{
    sockaddr_storage ss;
    socklen_t len;
    if (parse_endpoint_text(text, &ss, &len) != 0) {
        fprintf(stderr, "zd-load: bad endpoint %s\n", text);
        return -1;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, 1024) != 0) {
        fprintf(stderr, "zd-load: cannot listen on %s: %s\n", text, strerror(errno));
        return -1;
    }
    return fd;
}

int bound_port(int fd)
{
    sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return -1;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

void print_server_summary()
{
    printf("zd-load role=server conns=%" PRIu64 " handshake_fails=%" PRIu64 " check_fails=%" PRIu64
           " io_fails=%" PRIu64 " bytes_in=%" PRIu64 " bytes_out=%" PRIu64 " resumed=%" PRIu64
           " blipped=%" PRIu64 " cpu_s=%.3f\n",
           stats.conns.load(), stats.handshake_fails.load(), stats.check_fails.load(),
           stats.io_fails.load(), stats.bytes_in.load(), stats.bytes_out.load(),
           stats.resumed.load(), stats.blipped.load(), cpu_seconds());
    fflush(stdout);
}

// Runs until SIGTERM or SIGINT, or until its lifetime is up, so that a forgotten server
// cannot outlive the benchmark that started it by much.
int run_server(const options &o)
{
    if (!o.plain) {
        if (!o.cert || !o.key)
            usage();
        server_ctx = new_server_ctx(o.cert, o.key, false);
        resume_ctx = new_server_ctx(o.cert, o.key, true);
        if (!server_ctx || !resume_ctx)
            return 1;
    }
    int lfd = listen_on(o.endpoint);
    if (lfd < 0)
        return 1;
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The control signals come through a descriptor beside the listener, blocked in every
    // thread (the connection threads inherit the mask), so a blip is acted on at once.
    sigset_t control;
    sigemptyset(&control);
    sigaddset(&control, SIGUSR1);
    sigaddset(&control, SIGRTMIN);
    sigaddset(&control, SIGRTMIN + 1);
    pthread_sigmask(SIG_BLOCK, &control, nullptr);
    int sfd = signalfd(-1, &control, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0)
        return 1;
    printf("zd-load role=server listening=1 port=%d tls=%d\n", bound_port(lfd), o.plain ? 0 : 1);
    fflush(stdout);
    int64_t deadline = now_ns() + static_cast<int64_t>(o.max_seconds * 1e9);
    while (!stop_requested && now_ns() < deadline) {
        struct pollfd p[2] = {{.fd = lfd, .events = POLLIN, .revents = 0},
                              {.fd = sfd, .events = POLLIN, .revents = 0}};
        if (poll(p, 2, 200) <= 0)
            continue;
        struct signalfd_siginfo si;
        while (read(sfd, &si, sizeof(si)) == static_cast<ssize_t>(sizeof(si))) {
            int signo = static_cast<int>(si.ssi_signo);
            if (signo == SIGUSR1) {
                size_t n = blip_all();
                stats.blipped += n;
                printf("zd-load role=server blip=%zu\n", n);
            } else {
                sessions_on = signo == SIGRTMIN;
                printf("zd-load role=server sessions=%d\n", sessions_on ? 1 : 0);
            }
            fflush(stdout);
        }
        if (!(p[0].revents & POLLIN))
            continue;
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        stats.conns++;
        if (!spawn_connection_thread(fd)) {
            stats.io_fails++;
            close(fd);
        }
    }
    print_server_summary();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Client end.

struct target {
    sockaddr_storage ss;
    socklen_t len;
    int timeout_s;
};

std::atomic<uint64_t> seed_counter;

uint64_t next_seed()
{
    uint64_t x = (seed_counter++ + 1) * 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(getpid());
    return x % (uint64_t{1} << 40);
}

int connect_to(const target &t)
{
    int fd = socket(t.ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    set_timeouts(fd, t.timeout_s);
    set_nodelay(fd);
    for (;;) {
        if (connect(fd, reinterpret_cast<const sockaddr *>(&t.ss), t.len) == 0)
            return fd;
        if (errno != EINTR)
            break;
    }
    close(fd);
    return -1;
}

// One request and its reply on an echo connection; both streams advance.
struct echo_conn {
    link l;
    uint32_t req;
    uint32_t reply;
    uint64_t in_pos;  // the server's stream: replies
    uint64_t out_pos; // the client's stream: requests
    bool hello_sent;
    hello h;
    std::vector<uint8_t> buf;
};

int echo_open(const target &t, echo_conn &c, uint32_t req, uint32_t reply)
{
    c.l.fd = connect_to(t);
    if (c.l.fd < 0)
        return -1;
    uint64_t seed = next_seed();
    c.req = req;
    c.reply = reply;
    c.out_pos = seed;
    c.in_pos = down_start(seed);
    c.buf.resize(sizeof(hello) + std::max(req, reply));
    c.hello_sent = false;
    c.h = {.magic = HELLO_MAGIC,
           .mode = MODE_ECHO,
           .bytes = 0,
           .req = req,
           .reply = reply,
           .seed = seed};
    return 0;
}

// The hello travels with the first request, so that a one-shot connection costs the client
// one write and the forwarder one record, as an RPC client's first call would.
int echo_send_request(echo_conn &c)
{
    if (c.hello_sent)
        return link_write(c.l, pattern_at(c.out_pos), c.req);
    memcpy(c.buf.data(), &c.h, sizeof(hello));
    memcpy(c.buf.data() + sizeof(hello), pattern_at(c.out_pos), c.req);
    c.hello_sent = true;
    return link_write(c.l, c.buf.data(), sizeof(hello) + c.req);
}

int echo_once(echo_conn &c)
{
    if (echo_send_request(c) != 0)
        return -1;
    c.out_pos += c.req;
    if (link_read_exact(c.l, c.buf.data(), c.reply) != 1)
        return -1;
    if (!pattern_matches(c.in_pos, c.buf.data(), c.reply))
        return -2;
    c.in_pos += c.reply;
    return 0;
}

void echo_close(echo_conn &c)
{
    if (c.l.fd >= 0)
        close(c.l.fd);
    c.l.fd = -1;
}

// What each client thread hands back; merged after all have ended.
// Latencies are kept whole: a connection retried after a dropped SYN waits seconds.
struct tally {
    std::vector<uint64_t> lat_ns;
    uint64_t ops = 0;
    uint64_t fails = 0;
    uint64_t check_fails = 0;
    uint64_t retries = 0;
    int64_t end_ns = 0;
};

void record(tally &t, int64_t start)
{
    int64_t d = now_ns() - start;
    t.lat_ns.push_back(static_cast<uint64_t>(std::max<int64_t>(d, 0)));
    t.ops++;
}

void count_failure(tally &t, int rc)
{
    if (rc == -2)
        t.check_fails++;
    else
        t.fails++;
}

struct result {
    const char *workload;
    int conns = 1;
    uint64_t ops = 0;
    uint64_t bytes = 0;
    double seconds = 0;
    uint64_t fails = 0;
    uint64_t check_fails = 0;
    std::vector<uint64_t> lat_ns;
    bool latency = false;
    int connected = -1;
    int64_t retries = -1;
};

double percentile_us(const std::vector<uint64_t> &sorted, double q)
{
    if (sorted.empty())
        return 0;
    size_t i = static_cast<size_t>(std::floor(q * static_cast<double>(sorted.size() - 1)));
    return static_cast<double>(sorted[i]) / 1e3;
}

// One line, key=value pairs, that the benchmark script parses; nothing else goes to stdout.
int print_result(result &r, double cpu_s)
{
    bool ok = r.fails == 0 && r.check_fails == 0 && (r.ops > 0 || r.bytes > 0);
    double secs = r.seconds > 0 ? r.seconds : 1e-9;
    printf("zd-load role=client workload=%s conns=%d ops=%" PRIu64 " bytes=%" PRIu64
           " seconds=%.4f ops_s=%.1f mib_s=%.2f",
           r.workload, r.conns, r.ops, r.bytes, r.seconds, static_cast<double>(r.ops) / secs,
           static_cast<double>(r.bytes) / secs / 1048576.0);
    if (r.latency) {
        std::sort(r.lat_ns.begin(), r.lat_ns.end());
        printf(" p50_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f", percentile_us(r.lat_ns, 0.5),
               percentile_us(r.lat_ns, 0.99), percentile_us(r.lat_ns, 0.999),
               r.lat_ns.empty() ? 0.0 : static_cast<double>(r.lat_ns.back()) / 1e3);
    }
    if (r.connected >= 0)
        printf(" connected=%d", r.connected);
    if (r.retries >= 0)
        printf(" retries=%" PRId64, r.retries);
    printf(" fails=%" PRIu64 " check_fails=%" PRIu64 " check=%s client_cpu_s=%.3f\n", r.fails,
           r.check_fails, ok ? "ok" : "FAILED", cpu_s);
    fflush(stdout);
    return ok ? 0 : 1;
}

void merge(result &r, std::vector<tally> &tallies, int64_t start)
{
    int64_t end = start;
    for (tally &t : tallies) {
        r.ops += t.ops;
        r.fails += t.fails;
        r.check_fails += t.check_fails;
        r.lat_ns.insert(r.lat_ns.end(), t.lat_ns.begin(), t.lat_ns.end());
        end = std::max(end, t.end_ns);
    }
    r.seconds = seconds_of_ns(end - start);
    r.latency = true;
}

int64_t deadline_after(int64_t start, double seconds)
{
    return start + static_cast<int64_t>(seconds * 1e9);
}

// Bulk up: the client's stream goes out in large writes; the server checks it and its ack
// ends the clock, so the figure covers delivery, not just the client's send buffer.
void run_bulk_up(const target &t, const options &o, result &r)
{
    link l{.fd = connect_to(t), .ssl = nullptr};
    if (l.fd < 0) {
        r.fails++;
        return;
    }
    uint64_t seed = next_seed();
    hello h = {.magic = HELLO_MAGIC,
               .mode = MODE_UP,
               .bytes = o.bytes,
               .req = 0,
               .reply = 0,
               .seed = seed};
    int64_t start = now_ns();
    int64_t deadline = deadline_after(start, o.seconds);
    uint64_t pos = seed;
    uint64_t left = o.bytes;
    bool failed = link_write(l, &h, sizeof(h)) != 0;
    while (!failed && left > 0) {
        size_t k = static_cast<size_t>(std::min<uint64_t>(IO_CHUNK, left));
        failed = link_write(l, pattern_at(pos), k) != 0 || now_ns() > deadline;
        pos += k;
        left -= k;
    }
    ack a = {};
    if (!failed && link_read_exact(l, &a, sizeof(a)) == 1 && a.magic == ACK_MAGIC) {
        r.bytes = a.bytes;
        if (a.status != 0 || a.bytes != o.bytes)
            r.check_fails++;
    } else {
        r.fails++;
    }
    r.seconds = seconds_of_ns(now_ns() - start);
    close(l.fd);
}

void run_bulk_down(const target &t, const options &o, result &r)
{
    link l{.fd = connect_to(t), .ssl = nullptr};
    if (l.fd < 0) {
        r.fails++;
        return;
    }
    uint64_t seed = next_seed();
    hello h = {.magic = HELLO_MAGIC,
               .mode = MODE_DOWN,
               .bytes = o.bytes,
               .req = 0,
               .reply = 0,
               .seed = seed};
    std::vector<uint8_t> buf(IO_CHUNK);
    int64_t start = now_ns();
    int64_t deadline = deadline_after(start, o.seconds);
    uint64_t pos = down_start(seed);
    uint64_t got = 0;
    bool failed = link_write(l, &h, sizeof(h)) != 0;
    bool good = true;
    while (!failed && got < o.bytes) {
        ssize_t n = link_read(l, buf.data(), std::min<uint64_t>(IO_CHUNK, o.bytes - got));
        if (n <= 0 || now_ns() > deadline) {
            failed = true;
            break;
        }
        if (good && !pattern_matches(pos, buf.data(), static_cast<size_t>(n)))
            good = false;
        pos += static_cast<uint64_t>(n);
        got += static_cast<uint64_t>(n);
    }
    r.seconds = seconds_of_ns(now_ns() - start);
    r.bytes = got;
    if (failed)
        r.fails++;
    if (!good)
        r.check_fails++;
    close(l.fd);
}

// Ping-pong on long-lived connections. Every connection is opened and has made one round trip
// (through the forwarder's handshake) before the clock starts; the budget of operations is
// shared so that --ops bounds the whole run.
void run_echo(const target &t, const options &o, result &r, uint32_t reply)
{
    int n = o.conns > 0 ? o.conns : 1;
    r.conns = n;
    std::vector<tally> tallies(static_cast<size_t>(n));
    std::atomic<int64_t> budget{static_cast<int64_t>(o.ops)};
    std::atomic<int64_t> start{0};
    std::barrier sync(n, [&]() noexcept { start = now_ns(); });
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) {
        threads.emplace_back([&, i]() {
            tally &me = tallies[static_cast<size_t>(i)];
            me.lat_ns.reserve(std::min<uint64_t>(o.ops / static_cast<uint64_t>(n) + 1, 1 << 22));
            echo_conn c;
            int rc = echo_open(t, c, o.req, reply);
            if (rc == 0)
                rc = echo_once(c);
            sync.arrive_and_wait();
            if (rc != 0) {
                count_failure(me, rc);
            } else {
                int64_t deadline = deadline_after(start, o.seconds);
                while (now_ns() < deadline && budget.fetch_sub(1) > 0) {
                    int64_t t0 = now_ns();
                    rc = echo_once(c);
                    if (rc != 0) {
                        count_failure(me, rc);
                        break;
                    }
                    record(me, t0);
                }
            }
            me.end_ns = now_ns();
            echo_close(c);
        });
    }
    for (auto &th : threads)
        th.join();
    merge(r, tallies, start);
    r.bytes = r.ops * reply;
}

// Connection set-up: every operation is a new connection with its full handshake upstream,
// one round trip and a close. A failed operation is counted and the client goes on, so that
// the line shows how many of them the forwarder dropped.
void run_connect(const target &t, const options &o, result &r)
{
    int n = o.conns > 0 ? o.conns : 4;
    r.conns = n;
    std::vector<tally> tallies(static_cast<size_t>(n));
    std::atomic<int64_t> budget{static_cast<int64_t>(o.ops)};
    int64_t start = now_ns();
    int64_t deadline = deadline_after(start, o.seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) {
        threads.emplace_back([&, i]() {
            tally &me = tallies[static_cast<size_t>(i)];
            while (now_ns() < deadline && budget.fetch_sub(1) > 0 && me.fails < 100) {
                int64_t t0 = now_ns();
                echo_conn c;
                int rc = echo_open(t, c, o.req, o.reply ? o.reply : o.req);
                if (rc == 0)
                    rc = echo_once(c);
                echo_close(c);
                if (rc != 0)
                    count_failure(me, rc);
                else
                    record(me, t0);
            }
            me.end_ns = now_ns();
        });
    }
    for (auto &th : threads)
        th.join();
    merge(r, tallies, start);
}

// Many idle-ish connections: each one opens (spread over a ramp, as clients of a busy host
// come and go), then sends one ping per interval until the time is up. A connection that fails
// is not reopened: the count of failures is the figure.
void run_many(const target &t, const options &o, result &r)
{
    int n = o.conns > 0 ? o.conns : 250;
    r.conns = n;
    std::vector<tally> tallies(static_cast<size_t>(n));
    std::atomic<int> connected{0};
    std::atomic<int64_t> start{0};
    std::barrier sync(n, [&]() noexcept { start = now_ns(); });
    int64_t interval = static_cast<int64_t>(o.interval_ms) * 1000000;
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) {
        threads.emplace_back([&, i]() {
            tally &me = tallies[static_cast<size_t>(i)];
            sleep_ns(static_cast<int64_t>(i) * o.ramp_ms * 1000000);
            echo_conn c;
            int rc = echo_open(t, c, o.req, o.reply ? o.reply : o.req);
            if (rc == 0)
                rc = echo_once(c);
            if (rc == 0)
                connected++;
            sync.arrive_and_wait();
            if (rc != 0) {
                count_failure(me, rc);
            } else {
                int64_t deadline = deadline_after(start, o.seconds);
                int64_t next = start + interval * i / n;
                while (next < deadline) {
                    sleep_ns(next - now_ns());
                    int64_t t0 = now_ns();
                    rc = echo_once(c);
                    if (rc != 0) {
                        count_failure(me, rc);
                        break;
                    }
                    record(me, t0);
                    next += interval;
                }
            }
            me.end_ns = now_ns();
            echo_close(c);
        });
    }
    for (auto &th : threads)
        th.join();
    merge(r, tallies, start);
    r.connected = connected;
}

// A connection the forwarder could not take yet (its pairs still full from an earlier run,
// or its listen queue) is tried again a little later, a bounded number of times; the tries
// are counted. A wrong byte is a failure at once.
constexpr int OPEN_ATTEMPTS = 50;
constexpr int64_t OPEN_RETRY_NS = 20 * 1000000;

int open_with_retries(const target &t, const options &o, echo_conn &c, int64_t deadline,
                      uint64_t *retries)
{
    int rc = -1;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS && now_ns() < deadline; attempt++) {
        if (attempt > 0) {
            (*retries)++;
            sleep_ns(OPEN_RETRY_NS);
        }
        rc = echo_open(t, c, o.req, o.reply ? o.reply : o.req);
        if (rc == 0)
            rc = echo_once(c);
        if (rc == 0 || rc == -2)
            return rc;
        echo_close(c);
    }
    return rc;
}

// Reconnection after the server blips: every connection is opened (spread over the ramp, so
// that setting up is not itself a storm) and has made one round trip; then the server end
// resets all its connections at once (SIGUSR1 to --server-pid, the
// process stays) and every client reconnects as soon as it sees its connection end. The clock
// runs from the signal until the last client has made one round trip on its new connection;
// each client's own time from the signal is its latency.
void run_reconnect(const target &t, const options &o, result &r)
{
    if (o.server_pid <= 0)
        usage();
    int n = o.conns > 0 ? o.conns : 256;
    r.conns = n;
    std::vector<tally> tallies(static_cast<size_t>(n));
    std::atomic<int> connected{0};
    std::atomic<int64_t> start{0};
    std::atomic<bool> signalled{false};
    std::barrier sync(n, [&]() noexcept {
        start = now_ns();
        signalled = kill(static_cast<pid_t>(o.server_pid), SIGUSR1) == 0;
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) {
        threads.emplace_back([&, i]() {
            tally &me = tallies[static_cast<size_t>(i)];
            sleep_ns(static_cast<int64_t>(i) * o.ramp_ms * 1000000);
            echo_conn c;
            int rc = open_with_retries(t, o, c, deadline_after(now_ns(), o.seconds), &me.retries);
            if (rc == 0)
                connected++;
            sync.arrive_and_wait();
            if (rc != 0 || !signalled) {
                count_failure(me, rc != 0 ? rc : -1);
            } else {
                // The blip reaches the client as the end of its connection; data instead, or
                // nothing within the timeout, fails the run.
                uint8_t byte;
                errno = 0;
                ssize_t got = link_read(c.l, &byte, 1);
                bool ended = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
                echo_close(c);
                if (got > 0)
                    me.check_fails++;
                else if (!ended)
                    me.fails++;
                else if ((rc = open_with_retries(t, o, c, deadline_after(start, o.seconds),
                                                 &me.retries)) == 0)
                    record(me, start);
                else
                    count_failure(me, rc);
            }
            me.end_ns = now_ns();
            echo_close(c);
        });
    }
    for (auto &th : threads)
        th.join();
    merge(r, tallies, start);
    r.connected = connected;
    r.retries = 0;
    for (const tally &each : tallies)
        r.retries += static_cast<int64_t>(each.retries);
}

int run_client(const options &o)
{
    if (!o.workload)
        usage();
    target t;
    t.timeout_s = o.timeout_s;
    if (parse_endpoint_text(o.endpoint, &t.ss, &t.len) != 0) {
        fprintf(stderr, "zd-load: bad endpoint %s\n", o.endpoint);
        return 2;
    }
    if (o.req == 0 || o.req > MAX_MESSAGE || o.reply > MAX_MESSAGE)
        usage();
    signal(SIGPIPE, SIG_IGN);
    result r;
    r.workload = o.workload;
    std::string_view w = o.workload;
    if (w == "bulk-up")
        run_bulk_up(t, o, r);
    else if (w == "bulk-down")
        run_bulk_down(t, o, r);
    else if (w == "rpc")
        run_echo(t, o, r, o.reply ? o.reply : 200);
    else if (w == "read")
        run_echo(t, o, r, o.reply ? o.reply : 128 * 1024);
    else if (w == "connect")
        run_connect(t, o, r);
    else if (w == "many")
        run_many(t, o, r);
    else if (w == "reconnect")
        run_reconnect(t, o, r);
    else
        usage();
    return print_result(r, cpu_seconds());
}

} // namespace

int main(int argc, char **argv)
{
    options o = parse_options(argc, argv);
    pattern_init();
    if (strcmp(o.role, "server") == 0)
        return run_server(o);
    if (strcmp(o.role, "client") == 0)
        return run_client(o);
    usage();
}
