// Addresses and endpoints: parsing, printing and socket-address conversion; the assertion texts
// of the util header's inline helpers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "util.h"

namespace
{

using logcap::line;
using logcap::parse_line;
using logcap::split_lines;
using logcap::stdout_to_stderr;
using logcap::text_that;

address v4_mapped(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    address x = {};
    x.b[10] = 0xff;
    x.b[11] = 0xff;
    x.b[12] = a;
    x.b[13] = b;
    x.b[14] = c;
    x.b[15] = d;
    return x;
}

address loopback6()
{
    address x = {};
    x.b[15] = 1;
    return x;
}

bool same(const address &x, const address &y)
{
    return memcmp(x.b, y.b, sizeof(x.b)) == 0;
}

std::string hex(const address &a)
{
    char text[33] = {};
    for (int i = 0; i < 16; i++)
        snprintf(text + 2 * i, 3, "%02x", a.b[i]);
    return text;
}

// A record that no successful parse produces, to show that failures leave it alone.
address poison_address()
{
    address x;
    memset(x.b, 0xa5, sizeof(x.b));
    return x;
}

} // namespace

TEST(ParseAddress, Accepted)
{
    struct {
        const char *text;
        address expected;
    } cases[] = {
        {"::1", loopback6()},
        {"10.1.2.3", v4_mapped(10, 1, 2, 3)},
        {"::ffff:10.1.2.3", v4_mapped(10, 1, 2, 3)},
        {"0.0.0.0", v4_mapped(0, 0, 0, 0)},
        {"255.255.255.255", v4_mapped(255, 255, 255, 255)},
        {"::", address{}},
        {"2001:DB8::A",
         [] {
             address x = {};
             x.b[0] = 0x20;
             x.b[1] = 0x01;
             x.b[2] = 0x0d;
             x.b[3] = 0xb8;
             x.b[15] = 0x0a;
             return x;
         }()},
    };
    for (const auto &c : cases) {
        address a = poison_address();
        EXPECT_EQ(parse_address(c.text, &a), 0) << c.text;
        EXPECT_TRUE(same(a, c.expected)) << c.text << " gave " << hex(a);
    }
}

TEST(ParseAddress, Refused)
{
    const char *cases[] = {
        "",     "10.1.2",    "fe80::1%eth0", "host",      "10.1.2.3 ",
        " ::1", "1.2.3.256", "[::1]",        "::1:2049:",
    };
    for (const char *text : cases) {
        address a;
        EXPECT_EQ(parse_address(text, &a), -1) << text;
    }
    address a = poison_address();
    EXPECT_EQ(parse_address(nullptr, &a), -1);
    EXPECT_TRUE(same(a, poison_address())) << "a NULL text must leave the record alone";
}

TEST(ParseEndpoint, Accepted)
{
    struct {
        const char *text;
        address addr;
        uint16_t port;
    } cases[] = {
        {"[::1]:2049", loopback6(), 2049},
        {"10.0.0.1:111", v4_mapped(10, 0, 0, 1), 111},
        {"[::1]:1", loopback6(), 1},
        {"[::1]:65535", loopback6(), 65535},
        // The pattern stops after the port, and the decimal conversion takes blanks and a sign.
        {"10.0.0.1:80x", v4_mapped(10, 0, 0, 1), 80},
        {"10.0.0.1:80/extra", v4_mapped(10, 0, 0, 1), 80},
        {"10.0.0.1: 80", v4_mapped(10, 0, 0, 1), 80},
        {"10.0.0.1:+80", v4_mapped(10, 0, 0, 1), 80},
        {"[::FFFF:a00:1]:7", v4_mapped(10, 0, 0, 1), 7},
    };
    for (const auto &c : cases) {
        endpoint ep = {poison_address(), 9};
        EXPECT_EQ(parse_endpoint(c.text, &ep), 0) << c.text;
        EXPECT_TRUE(same(ep.addr, c.addr)) << c.text << " gave " << hex(ep.addr);
        EXPECT_EQ(ep.port, c.port) << c.text;
        EXPECT_EQ(parse_endpoint(c.text, nullptr), 0) << c.text;
    }
}

TEST(ParseEndpoint, Refused)
{
    const char *cases[] = {
        "",
        "::1:2049",             // IPv6 without brackets
        "[10.0.0.1]:80",        // dots inside brackets
        "[::ffff:10.0.0.1]:80", // a dotted quad inside brackets
        "host:80",
        "[::1]:0",
        "[::1]:65536",
        "[::1]:-1",
        "10.0.0.1:0",
        "10.0.0.1:65536",
        "10.0.0.1:-1",
        "[::1]",
        "[::1]:",
        "[::1]2049",
        "[]:80",
        "10.0.0.1",
        "10.0.0.1:",
        "10.0.0:80",
        "[::1::2]:80",
        "[fe80::1%eth0]:80",
        " 10.0.0.1:80",
    };
    for (const char *text : cases) {
        endpoint ep = {poison_address(), 9};
        EXPECT_EQ(parse_endpoint(text, &ep), -1) << text;
        EXPECT_TRUE(same(ep.addr, poison_address()) && ep.port == 9)
            << text << ": the record is written only on success";
        EXPECT_EQ(parse_endpoint(text, nullptr), -1) << text;
    }
    EXPECT_EQ(parse_endpoint(nullptr, nullptr), -1);
}

// Runs of hexadecimal digits and colons, or of digits and dots, longer than the 45-character
// scratch text are refused, never copied past it. The lengths straddle the scratch size.
TEST(ParseEndpoint, OverlongAddressRun)
{
    // Built by appending: g++ 12 at -O3 takes "[" + std::string(...) for an overlapping copy
    // and fails the Release build with -Wrestrict.
    auto bracketed = [](size_t len, char c, const char *rest) {
        return std::string("[").append(len, c).append(rest);
    };
    for (size_t len : {44, 45, 46, 47, 100, 4000}) {
        std::string hexrun = bracketed(len, 'a', "]:80");
        std::string colons = bracketed(len, ':', "]:80");
        std::string dotted = std::string(len, '1') + ":80";
        std::string dots = std::string(len, '.') + ":80";
        for (const std::string &text : {hexrun, colons, dotted, dots}) {
            endpoint ep = {poison_address(), 9};
            EXPECT_EQ(parse_endpoint(text.c_str(), &ep), -1) << len;
            EXPECT_EQ(ep.port, 9);
        }
    }
    // A valid address padded with leading zeros past the scratch size is still refused.
    std::string padded = bracketed(50, '0', "::1]:80");
    EXPECT_EQ(parse_endpoint(padded.c_str(), nullptr), -1);
}

TEST(AddressText, Printing)
{
    char buf[ADDRESS_TEXT_SZ];
    EXPECT_STREQ(ARGipv6(address{}, buf), "::");
    EXPECT_EQ(ARGipv6(address{}, buf), buf);
    EXPECT_STREQ(ARGipv6(loopback6(), buf), "::1");
    EXPECT_STREQ(ARGipv6(v4_mapped(10, 1, 2, 3), buf), "::ffff:10.1.2.3");

    char ep_buf[ENDPOINT_TEXT_SZ];
    EXPECT_STREQ(ARGendpoint6(ep_buf, {loopback6(), 2049}), "[::1]:2049");
    EXPECT_EQ(ARGendpoint6(ep_buf, {loopback6(), 2049}), ep_buf);
    EXPECT_STREQ(ARGendpoint6(ep_buf, {v4_mapped(10, 0, 0, 5), 870}), "[::ffff:10.0.0.5]:870");
    EXPECT_STREQ(ARGendpoint6(ep_buf, {address{}, 0}), "[::]:0");
}

// The longest texts the platform prints fit their buffers and stop there.
TEST(AddressText, LongestTextsStayInTheirBuffers)
{
    address all_ones;
    memset(all_ones.b, 0xff, sizeof(all_ones.b));
    const std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";

    char area[8 + 64 + 8];
    memset(area, 'g', sizeof(area));
    EXPECT_EQ(ARGipv6(all_ones, area + 8), longest);
    EXPECT_EQ(area[7], 'g');
    for (size_t i = 8 + ADDRESS_TEXT_SZ; i < sizeof(area); i++)
        ASSERT_EQ(area[i], 'g') << i;

    memset(area, 'g', sizeof(area));
    EXPECT_EQ(std::string(ARGendpoint6(area + 8, {all_ones, 65535})), "[" + longest + "]:65535");
    EXPECT_EQ(area[7], 'g');
    for (size_t i = 8 + ENDPOINT_TEXT_SZ; i < sizeof(area); i++)
        ASSERT_EQ(area[i], 'g') << i;
}

TEST(SockaddrIn6, RoundTrip)
{
    endpoint ep = {v4_mapped(192, 0, 2, 7), 2049};
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(ep);
    EXPECT_EQ(sa.sin6_family, AF_INET6);
    const auto *port = reinterpret_cast<const uint8_t *>(&sa.sin6_port);
    EXPECT_EQ(port[0], 0x08); // network byte order: 2049 is 0x0801
    EXPECT_EQ(port[1], 0x01);
    EXPECT_EQ(sa.sin6_flowinfo, 0u);
    EXPECT_EQ(sa.sin6_scope_id, 0u);
    EXPECT_EQ(memcmp(&sa.sin6_addr, ep.addr.b, 16), 0);

    endpoint back = ep_of_sockaddr_in6(&sa);
    EXPECT_TRUE(same(back.addr, ep.addr));
    EXPECT_EQ(back.port, 2049);

    // Flow information and scope id are dropped on the way in.
    sa.sin6_flowinfo = htonl(0x12345);
    sa.sin6_scope_id = 3;
    back = ep_of_sockaddr_in6(&sa);
    struct sockaddr_in6 again = sockaddr_in6_of_ep(back);
    EXPECT_EQ(again.sin6_flowinfo, 0u);
    EXPECT_EQ(again.sin6_scope_id, 0u);
}

// The kernel agrees with the conversions: bind and connect by endpoint, read the peer back, and
// an IPv4 peer arrives IPv4-mapped on an IPv6 socket.
TEST(SockaddrIn6, WithRealSockets)
{
    for (const char *host : {"::1", "127.0.0.1"}) {
        endpoint where = {};
        ASSERT_EQ(parse_address(host, &where.addr), 0);
        int lfd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(lfd, 0);
        struct sockaddr_in6 sa = sockaddr_in6_of_ep(where);
        if (bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
            close(lfd);
            GTEST_SKIP() << "cannot bind " << host << ": " << strerror(errno);
        }
        ASSERT_EQ(listen(lfd, 1), 0);
        socklen_t len = sizeof(sa);
        ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len), 0);
        endpoint bound = ep_of_sockaddr_in6(&sa);
        EXPECT_TRUE(same(bound.addr, where.addr)) << host;
        EXPECT_NE(bound.port, 0);

        int cfd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(cfd, 0);
        struct sockaddr_in6 to = sockaddr_in6_of_ep(bound);
        ASSERT_EQ(connect(cfd, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 0) << host;
        struct sockaddr_in6 peer = {};
        len = sizeof(peer);
        int afd = accept(lfd, reinterpret_cast<sockaddr *>(&peer), &len);
        ASSERT_GE(afd, 0);
        EXPECT_EQ(len, 28u);
        endpoint from = ep_of_sockaddr_in6(&peer);
        char buf[ENDPOINT_TEXT_SZ];
        char expected[ENDPOINT_TEXT_SZ];
        snprintf(expected, sizeof(expected), "[%s]:%u",
                 strcmp(host, "::1") == 0 ? "::1" : "::ffff:127.0.0.1",
                 static_cast<unsigned>(from.port));
        EXPECT_STREQ(ARGendpoint6(buf, from), expected);
        close(afd);
        close(cfd);
        close(lfd);
    }
}

namespace
{

// The inline helpers of the util header name themselves and the header's path in the failure
// lines: the first line must read "<function>:src/util:<line>:Failed assertion: <text>".
// The function as the prefix shows it: padded to twelve columns and cut after twelve.
::testing::Matcher<const std::string &> header_assertion(const std::string &function,
                                                         const std::string &text, int saved_errno)
{
    return logcap::assertion_lines(
        function, "src/util", "", text, saved_errno,
        [](const std::string &trace) { return trace.rfind("Backtrace: addr2line -fe ", 0) == 0; });
}

size_t huge()
{
    volatile size_t size = SIZE_MAX / 2 + 1;
    return size;
}

} // namespace

TEST(UtilHeaderDeathTest, SizeOfNegativeCount)
{
    EXPECT_EQ(size_t_of_ssize_t(0), 0u);
    EXPECT_EQ(size_t_of_ssize_t(SSIZE_MAX), static_cast<size_t>(SSIZE_MAX));
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            errno = EPIPE;
            (void)size_t_of_ssize_t(-1);
        },
        ::testing::KilledBySignal(SIGABRT), header_assertion("size_t_of_ssize_t", "s >= 0", EPIPE));
}

TEST(UtilHeaderDeathTest, ForeignSocketAddressFamily)
{
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            struct sockaddr_in6 sa = {};
            sa.sin6_family = AF_INET;
            errno = 0;
            (void)ep_of_sockaddr_in6(&sa);
        },
        ::testing::KilledBySignal(SIGABRT),
        header_assertion("ep_of_sockaddr_in6", "sa->sin6_family == AF_INET6", 0));
}

// Allocation failure is an assertion naming the allocating helper, with malloc's ENOMEM.
TEST(UtilHeaderDeathTest, AllocationFailure)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reports impossible allocations itself";
#endif
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            free(xmalloc(huge()));
        },
        ::testing::KilledBySignal(SIGABRT), header_assertion("xmalloc", "ptr != NULL", ENOMEM));
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            free(zmalloc(huge()));
        },
        ::testing::KilledBySignal(SIGABRT), header_assertion("zmalloc", "ptr != NULL", ENOMEM));
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            free(xcalloc(huge(), 4));
        },
        ::testing::KilledBySignal(SIGABRT), header_assertion("xcalloc", "ptr != NULL", ENOMEM));
}

// tick is the monotonic clock in nanoseconds, not some other unit or clock.
TEST(UtilHeader, TickIsMonotonicNanoseconds)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t before = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    int64_t t = tick();
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t after = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    EXPECT_LE(before, t);
    EXPECT_LE(t, after);
}
