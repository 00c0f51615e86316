// Assertion failures, allocation and clock helpers, addresses and endpoints.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "report.h"

[[noreturn]] void assert_failure(const char *function, const char *file, int line,
                                 const char *expression);
long sprint_backtrace(char *buffer, size_t size, size_t skip);

// Invariants are always checked. The text is what the failure line shows; sites whose source
// expression differs from the text that operators know pass it explicitly.
#define ZD_ASSERT_IN(file, cond, text)                                                             \
    do {                                                                                           \
        if (!(cond)) [[unlikely]]                                                                  \
            assert_failure(__func__, (file), __LINE__, (text));                                    \
    } while (0)
#define ZD_ASSERT_T(cond, text) ZD_ASSERT_IN(THIS_FILE, cond, text)
#define ZD_ASSERT(cond) ZD_ASSERT_IN(THIS_FILE, cond, #cond)

inline constexpr char UTIL_H_FILE[] = "src/util";

static inline void *zmalloc(size_t size)
{
    void *ptr = calloc(1, size);
    ZD_ASSERT_IN(UTIL_H_FILE, ptr != NULL, "ptr != NULL");
    return ptr;
}

static inline void *xmalloc(size_t size)
{
    void *ptr = malloc(size);
    ZD_ASSERT_IN(UTIL_H_FILE, ptr != NULL, "ptr != NULL");
    return ptr;
}

static inline void *xcalloc(size_t count, size_t size)
{
    void *ptr = calloc(count, size);
    ZD_ASSERT_IN(UTIL_H_FILE, ptr != NULL, "ptr != NULL");
    return ptr;
}

// Monotonic clock in nanoseconds; every deadline in the system is on this clock.
static inline int64_t tick()
{
    struct timespec ts;
    ZD_ASSERT_IN(UTIL_H_FILE, clock_gettime(CLOCK_MONOTONIC, &ts) == 0,
                 "clock_gettime(1, &ts) == 0");
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static inline size_t size_t_of_ssize_t(ssize_t s)
{
    ZD_ASSERT_IN(UTIL_H_FILE, s >= 0, "s >= 0");
    return static_cast<size_t>(s);
}

// An IPv6 address in network byte order; IPv4 is held IPv4-mapped (::ffff:a.b.c.d).
struct address {
    uint8_t b[16];
};
static_assert(sizeof(address) == sizeof(in6_addr));

struct endpoint {
    address addr;
    uint16_t port; // host byte order
};

inline constexpr size_t ADDRESS_TEXT_SZ = 46;  // INET6_ADDRSTRLEN
inline constexpr size_t ENDPOINT_TEXT_SZ = 49; // "[" address "]:" port

[[nodiscard]] int parse_address(const char *text, address *out);
[[nodiscard]] int parse_endpoint(const char *text, endpoint *out);
const char *ARGipv6(address a, char *buffer);
const char *ARGendpoint6(char *buffer, endpoint ep);

static inline endpoint ep_of_sockaddr_in6(const struct sockaddr_in6 *sa)
{
    ZD_ASSERT_IN(UTIL_H_FILE, sa->sin6_family == AF_INET6, "sa->sin6_family == AF_INET6");
    endpoint ep;
    memcpy(ep.addr.b, &sa->sin6_addr, sizeof(ep.addr.b));
    ep.port = ntohs(sa->sin6_port);
    return ep;
}

static inline struct sockaddr_in6 sockaddr_in6_of_ep(endpoint ep)
{
    struct sockaddr_in6 sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(ep.port);
    memcpy(&sa.sin6_addr, ep.addr.b, sizeof(ep.addr.b));
    return sa;
}
static_assert(sizeof(struct sockaddr_in6) == 28);

// The accepted-names file: a null-terminated heap array of heap strings, or null after an
// ERROR line. The caller frees each string and then the array. Every name is one the TLS
// library can check a host name against (host_name_fault): a file that holds any other is
// refused whole, since the library would skip an empty name without a word and check nothing.
// With `text` (the file's content, read already: at most 4095 bytes and a terminating zero)
// nothing is read, and `path` is only what the lines name.
char **read_json(const char *path, const char *text = nullptr);
// Why `name` (len bytes) cannot be an accepted name, or null when it can: letters, digits and
// "-_*" in dot-separated labels of 1 to 63 characters, at most 253 in all, with one leading dot
// allowed (the library's "any subdomain of"); or an IPv4 or IPv6 address, which the
// certificate's IP addresses are checked against.
const char *host_name_fault(const char *name, size_t len);

// Opens a file of settings for reading, refusing anything but a regular file without waiting:
// opening a FIFO would block until a writer comes, with the terminating signals already
// blocked, and a device or a directory holds no settings. The descriptor, or -1 with errno
// set; for something that is not a regular file errno is EINVAL and *kind names what it is.
int open_regular_file(const char *path, const char **kind);

// Leaves the calling thread only CAP_NET_BIND_SERVICE.
void drop_cap();
