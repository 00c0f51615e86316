static constexpr char THIS_FILE[] = "src/config";

#include "config.h"

#include <getopt.h>
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "version.h"

static constexpr char SHORT_OPTIONS[] = "hR:N:n:M:L:S:I:T:O:F:C:s:V";

// The order is part of the interface: getopt_long reports ambiguity and abbreviations by
// walking this table, so reordering it would change which prefixes operators may type.
static const struct option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"reserved-port", optional_argument, nullptr, 'R'},
    {"nfs-port", required_argument, nullptr, 'N'},
    {"mount-port", required_argument, nullptr, 'M'},
    {"nlm-port", required_argument, nullptr, 'L'},
    {"nfs-ssl-port", required_argument, nullptr, 'S'},
    {"local-ip", required_argument, nullptr, 'I'},
    {"prefsrc", required_argument, nullptr, 's'},
    {"target-ip", required_argument, nullptr, 'T'},
    {"common-name", required_argument, nullptr, 'O'},
    {"fips", required_argument, nullptr, 'F'},
    {"ssl-cert", required_argument, nullptr, 'C'},
    {"net-namespace", required_argument, nullptr, 'n'},
    // Last, so that every prefix that was unique before still is.
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// The text names --src-addr while the parser accepts --prefsrc: the text stays as operators
// know it and the option as scripts spell it.
static const char *const USAGE_LINES[] = {
    "Usage: zarn-dwel-forwarder [opts] <mount target IP>",
    "Supported options are:",
    "  -R or --reserved-port    - default to 0",
    "  -N or --nfs-port         - default to 2049",
    "  -M or --mount-port       - default to 2048",
    "  -L or --nlm-port         - default to 2050",
    "  -S or --nfs-ssl-port     - default to 2051",
    "  -I or --local-ip         - default to [::1]",
    "  -s or --src-addr         - local address to use as src.",
    "  -T or --target-ip        - mount target ip.",
    "  -O or --common-name      - common name of the SSL server.",
    "  -F or --fips             - enforce fips mode.",
    "  -C or --ssl-cert         - SSL certificate to use.",
    "  -n or --net-namespace    - Network namespace name.",
};
static_assert(sizeof(USAGE_LINES) / sizeof(USAGE_LINES[0]) == 14);

void usage()
{
    for (const char *line : USAGE_LINES)
        printf("%s\n", line);
    // exit, not _exit: the text is still in the stdio buffer when standard output is a pipe.
    exit(255);
}

static void print_version()
{
    printf("zarn-dwel-forwarder %s\n%s\n", ZD_VERSION, OpenSSL_version(OPENSSL_VERSION));
    exit(0);
}

// Numbers are taken the way strtol reads them with base 0 and are deliberately not checked:
// a port keeps the low 16 bits, so "70000" means 4464, and text without digits means 0.
static uint16_t port_of_text(const char *text)
{
    return static_cast<uint16_t>(strtol(text, nullptr, 0));
}

static int32_t int32_of_text(const char *text)
{
    return static_cast<int32_t>(strtol(text, nullptr, 0));
}

// Refuses a text that does not fit rather than cutting it: a cut CA path or server name would
// name another file or another server without anyone noticing.
[[nodiscard]] static int copy_text(char (&field)[CONFIG_TEXT_SZ], const char *text)
{
    size_t length = strlen(text);
    if (length >= CONFIG_TEXT_SZ)
        return -1;
    memcpy(field, text, length + 1);
    return 0;
}

static char *heap_copy(const char *text)
{
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(xmalloc(size));
    memcpy(copy, text, size);
    return copy;
}

// An option's text, as its error line shows it: the settings file that a service manager expands
// into the command line is a file like any other, and its text is escaped.
static const char *shown_text(const char *text, char (&shown)[report_escape_size(CONFIG_TEXT_SZ)])
{
    size_t len = strnlen(text, CONFIG_TEXT_SZ);
    return report_escape(text, len, shown, sizeof(shown));
}

static config *new_config()
{
    config *c = static_cast<config *>(zmalloc(sizeof(config)));
    ZD_ASSERT_T(parse_address("::1", &c->local) == 0, "parse_address(\"::1\", &c->local) == 0");
    c->nfs_port = 2049;
    c->mount_port = 2048;
    c->nlm_port = 2050;
    c->nfs_ssl_port = 2051;
    return c;
}

static bool address_is_zero(const address &a)
{
    static constexpr address ZERO{};
    return memcmp(a.b, ZERO.b, sizeof(a.b)) == 0;
}

// Every message of the command line is logged from here, so that all of them carry the same
// function name in their prefix; the helpers above only convert and copy.
config *parse_arguments(int argc, char **argv)
{
    config *c = new_config();
    address a;
    char shown[report_escape_size(CONFIG_TEXT_SZ)];
    int opt;
    while ((opt = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
        switch (opt) {
        case 'R':
            REPORT(LVL_INFO, "-R, --reserved-port is deprecated.\n");
            break;
        case 'N':
            c->nfs_port = port_of_text(optarg);
            break;
        case 'M':
            c->mount_port = port_of_text(optarg);
            break;
        case 'L':
            c->nlm_port = port_of_text(optarg);
            break;
        case 'S':
            c->nfs_ssl_port = port_of_text(optarg);
            break;
        case 'I':
            if (parse_address(optarg, &a) != 0) {
                REPORT(LVL_ERROR, "-I or --local-ip invalid (%s), exiting...\n",
                       shown_text(optarg, shown));
                exit(1);
            }
            c->local = a;
            break;
        case 's':
            if (parse_address(optarg, &a) != 0) {
                REPORT(LVL_ERROR, "-s or --prefsrc invalid (%s), exiting...\n",
                       shown_text(optarg, shown));
                exit(1);
            }
            c->prefsrc = a;
            break;
        case 'T':
            if (parse_address(optarg, &a) != 0) {
                REPORT(LVL_ERROR, "-T or --target-ip invalid (%s), exiting...\n",
                       shown_text(optarg, shown));
                exit(1);
            }
            c->target = a;
            break;
        case 'O':
            if (copy_text(c->common_name, optarg) != 0) {
                REPORT(LVL_ERROR, "-O or --common-name is too long (%zu characters, at most 255)\n",
                       strlen(optarg));
                usage();
            }
            break;
        case 'F':
            c->fips = int32_of_text(optarg);
            break;
        case 'C':
            if (copy_text(c->ca_file, optarg) != 0) {
                REPORT(LVL_ERROR, "-C or --ssl-cert is too long (%zu characters, at most 255)\n",
                       strlen(optarg));
                usage();
            }
            break;
        case 'n':
            free(c->netns);
            c->netns = heap_copy(optarg);
            break;
        case 'V':
            print_version();
            break;
        default:
            // 'h', and '?' after getopt_long has printed why it refused the option.
            usage();
        }
    }

    if (c->ca_file[0] == '\0')
        REPORT_ERROR("Invalid value for CA file\n");
    if (c->netns == nullptr)
        REPORT_ERROR("Invalid network namespace name.  Hint: '--net-namespace'.\n");
    if (address_is_zero(c->target)) {
        char text[ADDRESS_TEXT_SZ];
        REPORT_ERROR("Invalid value of Mount Target ip %s\n", ARGipv6(c->target, text));
    }
    return c;
}
