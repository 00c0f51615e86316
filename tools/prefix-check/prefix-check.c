/*
 * prefix-check: tells a script whether one network prefix, given as address/length, is an IPv4
 * /24 whose text ends in ".0" or an IPv6 /64 whose text ends in "::", and which of the two it is.
 *
 * The answer is the exit status (0 accepted, 1 refused) and, on success, the single word "ipv4"
 * or "ipv6" on standard output. A refusal writes one message on standard error and nothing on
 * standard output, so a script may capture the word without filtering. The program stands alone
 * and needs nothing but the C library.
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/*
 * The copy of the argument is released on every path, including the refusals, so that a leak
 * checker run over the scripts' calls stays quiet.
 */
_Noreturn static void refuse(char *copy, const char *message, const char *text)
{
    if (text != NULL)
        fprintf(stderr, message, text);
    else
        fputs(message, stderr);
    free(copy);
    exit(1);
}

_Noreturn static void accept_family(char *copy, const char *family)
{
    printf("%s\n", family);
    free(copy);
    exit(0);
}

/* Only the end of the text is looked at; the bits behind the prefix length are not checked. */
static int ends_with(const char *text, size_t len, const char *tail)
{
    size_t tail_len = strlen(tail);
    return len >= tail_len && strcmp(text + len - tail_len, tail) == 0;
}

static void check_ipv6(char *copy, const char *addr, size_t len, const char *prefix_len)
{
    if (strcmp(prefix_len, "64") != 0)
        refuse(copy, "ERROR: zarn-dwel-utils only allows a /64 IPv6 prefix \"%s\"...exiting.\n",
               addr);
    if (!ends_with(addr, len, "::"))
        refuse(copy, "ERROR: IPv6 /64 network prefix must end in \"::\"...exiting.\n", NULL);
    accept_family(copy, "ipv6");
}

static void check_ipv4(char *copy, const char *addr, size_t len, const char *prefix_len)
{
    if (strcmp(prefix_len, "24") != 0)
        refuse(copy, "ERROR: zarn-dwel-utils only allows a /24 IPv4 prefix \"%s\"...exiting.\n",
               addr);
    if (!ends_with(addr, len, ".0"))
        refuse(copy, "ERROR: IPv4 /24 network prefix must end with \".0\"...exiting.\n", NULL);
    accept_family(copy, "ipv4");
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        /* A caller may exec the program with an empty argument vector; name it anyway. */
        printf("usage: %s <addr/prefix>\n", argc > 0 && argv[0] != NULL ? argv[0] : "prefix-check");
        return 1;
    }

    char *copy = strdup(argv[1]);
    if (copy == NULL)
        refuse(NULL, "ERROR: strdup failed...exiting.\n", NULL);

    /* strtok skips empty tokens, so leading and doubled slashes vanish; a third token is
     * ignored. */
    const char *addr = strtok(copy, "/");
    if (addr == NULL)
        refuse(copy, "ERROR: can't find first token...exiting.\n", NULL);
    const char *prefix_len = strtok(NULL, "/");
    if (prefix_len == NULL)
        refuse(copy, "ERROR: can't find second token...exiting.\n", NULL);

    struct in_addr v4;
    struct in6_addr v6;
    int is_v4 = inet_pton(AF_INET, addr, &v4) == 1;
    int is_v6 = inet_pton(AF_INET6, addr, &v6) == 1;
    size_t len = strlen(addr);

    /* The family is settled before the length, so a wrong length gets the family's own
     * message and an unparsable address is invalid whatever its length. */
    if (is_v6 && !is_v4)
        check_ipv6(copy, addr, len, prefix_len);
    if (is_v4 && !is_v6)
        check_ipv4(copy, addr, len, prefix_len);
    refuse(copy, "ERROR: invalid address \"%s\"...exiting.\n", addr);
    return 1;
}
