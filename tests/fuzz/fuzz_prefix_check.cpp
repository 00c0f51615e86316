// The prefix checker's logic: its main, renamed prefix_check_main for this build, on an
// argument vector made from the input (the first word is the invocation name). Its output and
// status are held against what the tool promises: one word and 0 for an accepted prefix, the
// usage line for a wrong argument count, otherwise exactly one known message and 1.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"

extern "C" int prefix_check_main(int argc, char **argv);

namespace
{

constexpr size_t MAX_WORDS = 4;
constexpr size_t STREAM_SZ = 16384;

// The tool writes through the stdout and stderr streams; for the call they are memory streams
// of this harness, so nothing reaches the terminal and the text can be checked.
struct captured {
    char storage[STREAM_SZ];
    FILE *stream;

    void open()
    {
        stream = fmemopen(storage, sizeof(storage), "w");
        setvbuf(stream, nullptr, _IONBF, 0);
    }
    void reset()
    {
        memset(storage, 0, sizeof(storage));
        rewind(stream);
    }
    std::string text() const { return std::string(storage, strnlen(storage, sizeof(storage))); }
};

captured out, err;

const char *const PLAIN_MESSAGES[] = {
    "ERROR: strdup failed...exiting.\n",
    "ERROR: can't find first token...exiting.\n",
    "ERROR: can't find second token...exiting.\n",
    "ERROR: IPv6 /64 network prefix must end in \"::\"...exiting.\n",
    "ERROR: IPv4 /24 network prefix must end with \".0\"...exiting.\n",
};

// The three messages with one quoted text: the part before the text and the part after it.
const char *const QUOTING_MESSAGES[][2] = {
    {"ERROR: zarn-dwel-utils only allows a /64 IPv6 prefix \"", "\"...exiting.\n"},
    {"ERROR: zarn-dwel-utils only allows a /24 IPv4 prefix \"", "\"...exiting.\n"},
    {"ERROR: invalid address \"", "\"...exiting.\n"},
};

bool starts_with(const std::string &s, const char *p)
{
    return s.compare(0, strlen(p), p) == 0;
}

bool ends_with(const std::string &s, const char *p)
{
    size_t n = strlen(p);
    return s.size() >= n && s.compare(s.size() - n, n, p) == 0;
}

bool known_message(const std::string &e)
{
    for (const char *m : PLAIN_MESSAGES)
        if (e == m)
            return true;
    for (const auto &m : QUOTING_MESSAGES)
        if (e.size() >= strlen(m[0]) + strlen(m[1]) && starts_with(e, m[0]) && ends_with(e, m[1]))
            return true;
    return false;
}

// The address and length as the tool must have read them: the first two non-empty pieces
// between slashes.
bool first_two_pieces(const std::string &arg, std::string *addr, std::string *len)
{
    std::string pieces[2];
    size_t found = 0;
    size_t start = 0;
    while (found < 2 && start <= arg.size()) {
        size_t end = arg.find('/', start);
        if (end == std::string::npos)
            end = arg.size();
        if (end > start)
            pieces[found++] = arg.substr(start, end - start);
        start = end + 1;
    }
    *addr = pieces[0];
    *len = pieces[1];
    return found == 2;
}

// An accepted prefix is a network address of its family: the host part that the text's
// ending stands for is zero.
void check_accepted(const std::string &arg, const std::string &word)
{
    std::string addr, len;
    FZ_CHECK(first_two_pieces(arg, &addr, &len));
    in_addr v4;
    in6_addr v6;
    bool is_v4 = inet_pton(AF_INET, addr.c_str(), &v4) == 1;
    bool is_v6 = inet_pton(AF_INET6, addr.c_str(), &v6) == 1;
    if (word == "ipv4\n") {
        FZ_CHECK(is_v4 && !is_v6 && len == "24");
        FZ_CHECK((ntohl(v4.s_addr) & 0xff) == 0);
    } else {
        FZ_CHECK(word == "ipv6\n");
        FZ_CHECK(is_v6 && !is_v4 && len == "64");
        FZ_CHECK(v6.s6_addr[14] == 0 && v6.s6_addr[15] == 0);
    }
}

int run_tool(fz::arg_vector &args, std::string *o, std::string *e)
{
    out.reset();
    err.reset();
    FILE *saved_out = stdout;
    FILE *saved_err = stderr;
    stdout = out.stream;
    stderr = err.stream;
    int status = 0;
    if (!fz::trapping_exit([&] { status = prefix_check_main(args.argc(), args.argv()); }, &status))
        FZ_CHECK(status == 1); // only the usage path returns from main
    stdout = saved_out;
    stderr = saved_err;
    *o = out.text();
    *e = err.text();
    return status;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    out.open();
    err.open();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fz::arg_vector args(data, size, nullptr, MAX_WORDS);
    std::string o, e;
    int status = run_tool(args, &o, &e);
    FZ_CHECK(status == 0 || status == 1);
    if (args.argc() != 2) {
        std::string name = args.argc() > 0 ? args.word(0) : "prefix-check";
        FZ_CHECK(status == 1);
        FZ_CHECK(o == "usage: " + name + " <addr/prefix>\n");
        FZ_CHECK(e.empty());
        return 0;
    }
    if (status == 0) {
        FZ_CHECK(e.empty());
        check_accepted(args.word(1), o);
        return 0;
    }
    FZ_CHECK(o.empty());
    FZ_CHECK(known_message(e));
    return 0;
}
