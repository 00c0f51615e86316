// Address and endpoint text: parse_address and parse_endpoint on arbitrary text, and the texts
// that ARGipv6 and ARGendpoint6 print for a parsed value must parse back to the same value.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "util.h"

namespace
{

bool same_address(const address &a, const address &b)
{
    return memcmp(a.b, b.b, sizeof(a.b)) == 0;
}

bool ipv4_mapped(const address &a)
{
    static constexpr uint8_t PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(a.b, PREFIX, sizeof(PREFIX)) == 0;
}

void check_address(const char *text)
{
    address a;
    if (parse_address(text, &a) != 0)
        return;
    // Dotted IPv4 text is the only other form accepted, and it is held IPv4-mapped.
    in6_addr v6;
    if (inet_pton(AF_INET6, text, &v6) != 1)
        FZ_CHECK(ipv4_mapped(a));
    char printed[ADDRESS_TEXT_SZ];
    FZ_CHECK(ARGipv6(a, printed) == printed);
    FZ_CHECK(strnlen(printed, sizeof(printed)) < sizeof(printed));
    address again;
    FZ_CHECK(parse_address(printed, &again) == 0);
    FZ_CHECK(same_address(a, again));
}

// The port as the text writes it, read independently of the parser: the number after the
// colon that follows the closing bracket, or after the first colon of a dotted address. Blanks
// and a sign may come first, as for any decimal conversion; -1 when it is out of every range.
long long port_of_text(const char *text)
{
    const char *colon = text[0] == '[' ? strstr(text, "]:") : strchr(text, ':');
    if (colon == nullptr)
        return -1;
    colon += text[0] == '[' ? 2 : 1;
    errno = 0;
    long long value = strtoll(colon, nullptr, 10);
    return errno == ERANGE ? -1 : value;
}

// Written only on success: a refused text leaves the caller's record as it was.
void check_endpoint(const char *text)
{
    endpoint ep;
    memset(&ep, 0xa5, sizeof(ep));
    endpoint untouched = ep;
    int rc = parse_endpoint(text, &ep);
    FZ_CHECK(rc == 0 || rc == -1);
    FZ_CHECK(parse_endpoint(text, nullptr) == rc);
    if (rc != 0) {
        FZ_CHECK(memcmp(&ep, &untouched, sizeof(ep)) == 0);
        return;
    }
    FZ_CHECK(ep.port >= 1);
    FZ_CHECK(port_of_text(text) == ep.port);
    char printed[ENDPOINT_TEXT_SZ];
    FZ_CHECK(ARGendpoint6(printed, ep) == printed);
    FZ_CHECK(strnlen(printed, sizeof(printed)) < sizeof(printed));
    endpoint again;
    if (strchr(printed, '.') == nullptr) {
        FZ_CHECK(parse_endpoint(printed, &again) == 0);
    } else {
        // The bracketed form takes no dotted quad, so an address that prints with one (IPv4-
        // mapped, or the old IPv4-compatible ::a.b.c.d) is refused in brackets. The mapped ones
        // come back through the plain IPv4 form.
        FZ_CHECK(parse_endpoint(printed, nullptr) == -1);
        if (!ipv4_mapped(ep.addr))
            return;
        char v4[ENDPOINT_TEXT_SZ];
        snprintf(v4, sizeof(v4), "%u.%u.%u.%u:%u", ep.addr.b[12], ep.addr.b[13], ep.addr.b[14],
                 ep.addr.b[15], static_cast<unsigned>(ep.port));
        FZ_CHECK(parse_endpoint(v4, &again) == 0);
    }
    FZ_CHECK(same_address(ep.addr, again.addr));
    FZ_CHECK(ep.port == again.port);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The text ends at the first zero byte, as it would in a C string from the command line.
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *c = text.c_str();
    check_address(c);
    check_endpoint(c);
    return 0;
}
