// Helpers for the event-loop tests: loopback sockets, a recording operations table, a gate that
// holds the worker inside a callback so that events pile up into one batch, and a throw-away
// PKI with a blocking TLS server for the secure side.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "event-loop-internal.h"
#include "ssl_ptr.h"
#include "temp_dir.h"

namespace evt
{

inline address loopback()
{
    address a{};
    a.b[15] = 1;
    return a;
}

inline uint64_t now_ns()
{
    return static_cast<uint64_t>(tick());
}
inline uint64_t ms_ns(uint64_t ms)
{
    return ms * 1000000;
}

// Polls pred every millisecond until it holds or timeout_ms passes.
inline bool wait_until(const std::function<bool()> &pred, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void set_timeouts(int fd, int seconds)
{
    struct timeval tv = {seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

inline uint16_t local_port(int fd)
{
    struct sockaddr_in6 sa {
    };
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin6_port);
}

// 127.0.0.last as the loop keeps IPv4 addresses (v4-mapped).
inline address loopback4(uint8_t last)
{
    address a{};
    a.b[10] = a.b[11] = 0xff;
    a.b[12] = 127;
    a.b[15] = last;
    return a;
}

// A plain blocking listener of the test's own on [::1] (or at), kernel-chosen port.
inline int listen_plain(uint16_t *port, address at = loopback())
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(endpoint{at, 0});
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    EXPECT_EQ(listen(fd, 16), 0);
    *port = local_port(fd);
    return fd;
}

inline int accept_one(int listener, int timeout_ms)
{
    struct pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return -1;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        set_timeouts(fd, 10);
    return fd;
}

// A blocking client with 10-second timeouts, so that no test can hang on a socket.
inline int connect_to(uint16_t port, int rcvbuf = 0)
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    set_timeouts(fd, 10);
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(endpoint{loopback(), port});
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    return fd;
}

// A client of the forwarder, whose secure side binds the client's own address and port as the
// daemon's does. In the daemon the two live in different namespaces; here they share one, so
// the client comes from an address of its own in 127/8 (`from`), where no other socket (one
// in TIME_WAIT included) holds the port the kernel picks, and lets that port be bound again.
inline int connect_from(address from, endpoint to, int rcvbuf = 0)
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    set_timeouts(fd, 10);
    struct sockaddr_in6 src = sockaddr_in6_of_ep(endpoint{from, 0});
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof(src)), 0);
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(to);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    return fd;
}

// Closing with a zero linger time sends a reset instead of a FIN.
inline void reset_close(int fd)
{
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(fd);
}

inline bool send_all(int fd, const void *data, size_t size)
{
    auto *p = static_cast<const uint8_t *>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads until end of stream, error or timeout; returns what arrived.
inline std::string read_to_end(int fd)
{
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof(buf), 0)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// The port of the listening socket most recently added to the loop.
inline uint16_t listener_port(evl *loop)
{
    uint16_t port = 0;
    pthread_mutex_lock(&loop->mutex);
    list_node *end = &loop->sockets.sentinel;
    for (list_node *n = end->next; n != end; n = n->next) {
        auto *s = static_cast<evl_socket *>(n->owner);
        if (is_listening(s))
            port = local_port(s->fd);
    }
    pthread_mutex_unlock(&loop->mutex);
    return port;
}

// Descriptor and port of every listening socket of the loop, in the order they were added.
inline std::vector<std::pair<int, uint16_t>> listeners(evl *loop)
{
    std::vector<std::pair<int, uint16_t>> out;
    pthread_mutex_lock(&loop->mutex);
    list_node *end = &loop->sockets.sentinel;
    for (list_node *n = end->next; n != end; n = n->next) {
        auto *s = static_cast<evl_socket *>(n->owner);
        if (is_listening(s))
            out.emplace_back(s->fd, local_port(s->fd));
    }
    pthread_mutex_unlock(&loop->mutex);
    return out;
}

inline size_t socket_count(evl *loop)
{
    size_t count = 0;
    pthread_mutex_lock(&loop->mutex);
    list_node *end = &loop->sockets.sentinel;
    for (list_node *n = end->next; n != end; n = n->next)
        count++;
    pthread_mutex_unlock(&loop->mutex);
    return count;
}

inline size_t count_of(const std::string &text, const std::string &what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

// Holds the worker inside a callback until the test opens it again, so that everything the
// test does meanwhile reaches the worker in one batch of events.
struct gate {
    std::mutex m;
    std::condition_variable cv;
    bool closed = false;
    bool inside = false;

    void close_gate()
    {
        std::lock_guard<std::mutex> g(m);
        closed = true;
        inside = false;
    }
    // Worker side; never holds the worker longer than ten seconds.
    void pass()
    {
        std::unique_lock<std::mutex> g(m);
        if (!closed)
            return;
        inside = true;
        cv.notify_all();
        cv.wait_for(g, std::chrono::seconds(10), [this] { return !closed; });
    }
    bool wait_inside(int timeout_ms)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [this] { return inside; });
    }
    void open()
    {
        std::lock_guard<std::mutex> g(m);
        closed = false;
        cv.notify_all();
    }
};

// What the loop told the user about one socket.
struct socket_record {
    int closes = 0;
    bool peer_ended_at_close = false;
    uint64_t received = 0;
    int data_after_close = 0;
    std::string bytes;
};

// The recording user: every callback is logged per socket, and hooks let a test act inside
// the worker. Defaults: keep every connection, take all received data, hand back every
// closed socket.
struct recorder {
    std::mutex mx;
    evl *loop = nullptr;
    std::map<evl_socket *, socket_record> sockets;
    std::vector<evl_socket *> accepted;
    bool keep_bytes = false;
    std::function<int(evl_socket *)> on_new;
    std::function<void(evl_socket *, skb *)> on_data;
    std::function<void(evl_socket *)> on_pull;
    std::function<void(evl_socket *)> on_closed;

    // The default use of received data: record it and take all of it.
    void take(evl_socket *sock, skb *in)
    {
        std::lock_guard<std::mutex> g(mx);
        socket_record &rec = sockets[sock];
        if (rec.closes)
            rec.data_after_close++;
        rec.received += in->data_size;
        if (keep_bytes)
            rec.bytes.append(reinterpret_cast<char *>(in->data), in->data_size);
        skb_consume(in, in->data_size);
    }
    socket_record get(evl_socket *s)
    {
        std::lock_guard<std::mutex> g(mx);
        return sockets[s];
    }
    evl_socket *accepted_at(size_t i)
    {
        std::lock_guard<std::mutex> g(mx);
        return i < accepted.size() ? accepted[i] : nullptr;
    }
    size_t accepted_count()
    {
        std::lock_guard<std::mutex> g(mx);
        return accepted.size();
    }
    int total_closes()
    {
        std::lock_guard<std::mutex> g(mx);
        int n = 0;
        for (auto &[s, r] : sockets)
            n += r.closes;
        return n;
    }
    int max_closes()
    {
        std::lock_guard<std::mutex> g(mx);
        int n = 0;
        for (auto &[s, r] : sockets)
            n = std::max(n, r.closes);
        return n;
    }
};

inline int rec_new_connection(evl *, evl_socket *sock, uint16_t, void *arg, endpoint)
{
    auto *r = static_cast<recorder *>(arg);
    {
        std::lock_guard<std::mutex> g(r->mx);
        r->accepted.push_back(sock);
        r->sockets[sock];
    }
    return r->on_new ? r->on_new(sock) : 0;
}

inline void rec_received_data(evl *, evl_socket *sock, skb *in, void *arg)
{
    auto *r = static_cast<recorder *>(arg);
    if (r->on_data)
        r->on_data(sock, in);
    else
        r->take(sock, in);
}

inline void rec_pull_data(evl *, evl_socket *sock, void *arg)
{
    auto *r = static_cast<recorder *>(arg);
    if (r->on_pull)
        r->on_pull(sock);
}

inline void rec_connection_closed(evl *loop, evl_socket *sock, void *arg)
{
    auto *r = static_cast<recorder *>(arg);
    {
        std::lock_guard<std::mutex> g(r->mx);
        socket_record &rec = r->sockets[sock];
        rec.closes++;
        rec.peer_ended_at_close = peer_ended(sock);
    }
    if (r->on_closed)
        r->on_closed(sock);
    else
        evl_close(loop, sock);
}

inline const evl_ops recorder_ops = {
    .on_new_connection = rec_new_connection,
    .on_received_data = rec_received_data,
    .on_pull_data = rec_pull_data,
    .on_connection_closed = rec_connection_closed,
};

// A started loop with a recorder and, on request, a plain listener on [::1].
struct running_loop {
    evl *loop;
    recorder rec;
    bool stopped = false;

    running_loop()
    {
        loop = evl_create("test");
        rec.loop = loop;
        evl_start(loop);
    }
    ~running_loop() { stop(); }
    uint16_t listen()
    {
        EXPECT_EQ(evl_listen_ip(loop, loopback(), 10, &recorder_ops, &rec), 0);
        return listener_port(loop);
    }
    void stop()
    {
        if (stopped)
            return;
        stopped = true;
        evl_stop(loop);
        evl_destroy(loop);
    }
};

// ---- a throw-away PKI and a blocking TLS server ----

inline x509_ptr make_cert(const char *cn, bool ca, EVP_PKEY *key, X509 *issuer,
                          EVP_PKEY *issuer_key)
{
    static long serial = 1;
    x509_ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30 * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(cn), -1, -1, 0);
    X509 *signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (ca) {
        add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_ext(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add_ext(cert.get(), signer, NID_subject_alt_name, (std::string("DNS:") + cn).c_str());
    }
    EXPECT_GT(X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256()), 0);
    return cert;
}

inline constexpr char SERVER_NAME[] = "nfs.zd.test";

// A CA, one server certificate for SERVER_NAME and the CA bundle file the client reads.
struct pki {
    temp_dir dir;
    pkey_ptr ca_key{EVP_RSA_gen(2048)};
    pkey_ptr server_key{EVP_RSA_gen(2048)};
    x509_ptr ca, server;
    std::string ca_file;

    pki()
    {
        ca = make_cert("ZD Test CA", true, ca_key.get(), nullptr, nullptr);
        server = make_cert(SERVER_NAME, false, server_key.get(), ca.get(), ca_key.get());
        ca_file = dir.path("ca.pem");
        FILE *f = fopen(ca_file.c_str(), "w");
        PEM_write_X509(f, ca.get());
        fclose(f);
    }

    ctx_ptr server_ctx()
    {
        ctx_ptr ctx(SSL_CTX_new(TLS_server_method()));
        EXPECT_EQ(SSL_CTX_use_certificate(ctx.get(), server.get()), 1);
        EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx.get(), server_key.get()), 1);
        return ctx;
    }
};

inline pki &the_pki()
{
    static pki p;
    return p;
}

// Accepts one connection on its own listener at `at`, after accept_delay_ms, and runs `session`
// with the connection and its descriptor after a good handshake.
struct tls_server {
    ctx_ptr ctx = the_pki().server_ctx();
    int listener = -1;
    uint16_t port = 0;
    int accept_delay_ms;
    std::function<void(SSL *, int)> session;
    std::atomic<bool> handshake_ok{false};
    std::atomic<bool> handshake_failed{false};
    std::thread thr;

    explicit tls_server(std::function<void(SSL *, int)> s, int delay_ms = 0,
                        address at = loopback())
        : accept_delay_ms(delay_ms), session(std::move(s))
    {
        listener = listen_plain(&port, at);
        thr = std::thread([this] { run(); });
    }
    ~tls_server()
    {
        if (thr.joinable())
            thr.join();
        close(listener);
    }
    void run()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(accept_delay_ms));
        int fd = accept_one(listener, 20000);
        if (fd < 0)
            return;
        set_timeouts(fd, 20);
        SSL *ssl = SSL_new(ctx.get());
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            handshake_ok = true;
            session(ssl, fd);
        } else {
            handshake_failed = true;
        }
        SSL_free(ssl);
        close(fd);
    }
};

} // namespace evt
