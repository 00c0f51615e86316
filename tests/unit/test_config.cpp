// Successful parses, checked field by field in-process. The paths that end the process are
// driven against the real binary by the command-line script test.
#include <arpa/inet.h>
#include <getopt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "config.h"

namespace
{

struct config_free {
    void operator()(config *c) const
    {
        free(c->netns);
        free(c);
    }
};
using config_ptr = std::unique_ptr<config, config_free>;

// getopt_long permutes argv and keeps its position in globals; optind = 0 makes GNU getopt
// start over, so every parse here sees a fresh command line.
config_ptr parse(std::vector<std::string> words)
{
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    // With POSIXLY_CORRECT set GNU getopt stops at the first word; the daemon is run without it.
    unsetenv("POSIXLY_CORRECT");
    optind = 0;
    return config_ptr(parse_arguments(static_cast<int>(words.size()), argv.data()));
}

// The three required options first; a test's own words come after them, so a test can
// override any of them through "last occurrence wins".
config_ptr parse_with_required(std::initializer_list<std::string> extra)
{
    std::vector<std::string> words = {
        "zarn-dwel-forwarder", "-C", "ca.pem", "-n", "ns0", "-T", "192.0.2.1"};
    words.insert(words.end(), extra);
    return parse(words);
}

std::string text_of(const address &a)
{
    char text[ADDRESS_TEXT_SZ];
    return ARGipv6(a, text);
}

} // namespace

TEST(ConfigTest, DefaultsWhenOnlyRequiredOptionsAreGiven)
{
    config_ptr c = parse_with_required({});
    EXPECT_EQ(text_of(c->local), "::1");
    EXPECT_EQ(text_of(c->prefsrc), "::");
    EXPECT_EQ(text_of(c->target), "::ffff:192.0.2.1");
    EXPECT_EQ(c->nfs_port, 2049);
    EXPECT_EQ(c->mount_port, 2048);
    EXPECT_EQ(c->nlm_port, 2050);
    EXPECT_EQ(c->nfs_ssl_port, 2051);
    EXPECT_STREQ(c->common_name, "");
    EXPECT_EQ(c->fips, 0);
    EXPECT_STREQ(c->ca_file, "ca.pem");
    EXPECT_STREQ(c->netns, "ns0");
}

TEST(ConfigTest, PortsAreConvertedLikeStrtolBaseZeroAndKeepTheLow16Bits)
{
    struct {
        const char *text;
        uint16_t port;
    } cases[] = {
        {"0x801", 2049}, {"0X801", 2049}, {"70000", 4464}, {"abc", 0},
        {"", 0},         {"04001", 2049}, {"12abc", 12},   {"-1", 65535},
        {"+80", 80},     {"65536", 0},    {" 111", 111},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.text);
        config_ptr c = parse_with_required({"-N", tc.text, "-M", tc.text, "--nlm-port", tc.text,
                                            std::string("--nfs-ssl-port=") + tc.text});
        EXPECT_EQ(c->nfs_port, tc.port);
        EXPECT_EQ(c->mount_port, tc.port);
        EXPECT_EQ(c->nlm_port, tc.port);
        EXPECT_EQ(c->nfs_ssl_port, tc.port);
    }
}

TEST(ConfigTest, FipsKeepsTheLow32Bits)
{
    struct {
        const char *text;
        int32_t fips;
    } cases[] = {
        {"0", 0}, {"1", 1}, {"-1", -1}, {"0x100000001", 1}, {"0xffffffff", -1}, {"yes", 0},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.text);
        EXPECT_EQ(parse_with_required({"-F", tc.text})->fips, tc.fips);
        EXPECT_EQ(parse_with_required({"--fips", tc.text})->fips, tc.fips);
    }
}

TEST(ConfigTest, AddressesAreStoredAsIpv6WithIpv4Mapped)
{
    config_ptr c = parse_with_required(
        {"-T", "10.0.0.5", "-I", "fd00::7", "--prefsrc", "127.0.0.2", "--target-ip=10.0.0.5"});
    EXPECT_EQ(text_of(c->target), "::ffff:10.0.0.5");
    EXPECT_EQ(text_of(c->local), "fd00::7");
    EXPECT_EQ(text_of(c->prefsrc), "::ffff:127.0.0.2");

    // The unspecified IPv4 address is mapped, so it is not the all-zero "unset" target.
    c = parse_with_required({"-T", "0.0.0.0", "-s", "::"});
    EXPECT_EQ(text_of(c->target), "::ffff:0.0.0.0");
    EXPECT_EQ(text_of(c->prefsrc), "::");
}

TEST(ConfigTest, LastOccurrenceWins)
{
    config_ptr c = parse_with_required({"-n", "a", "-n", "b", "-C", "first.pem", "--ssl-cert",
                                        "second.pem", "-O", "one.example", "--common-name=two",
                                        "-T", "10.0.0.1", "-T", "10.0.0.2", "-N", "1", "-N", "2"});
    EXPECT_STREQ(c->netns, "b");
    EXPECT_STREQ(c->ca_file, "second.pem");
    EXPECT_STREQ(c->common_name, "two");
    EXPECT_EQ(text_of(c->target), "::ffff:10.0.0.2");
    EXPECT_EQ(c->nfs_port, 2);

    // A later empty common name clears an earlier one, falling back to the accepted-names file.
    c = parse_with_required({"-O", "one.example", "-O", ""});
    EXPECT_STREQ(c->common_name, "");
}

TEST(ConfigTest, LongOptionsMayBeAbbreviatedToAnUnambiguousPrefix)
{
    config_ptr c = parse({"zarn-dwel-forwarder",
                          "--net",
                          "x",
                          "--ssl",
                          "ca.pem",
                          "--targ",
                          "10.0.0.9",
                          "--nfs-s",
                          "3000",
                          "--nfs-p",
                          "3001",
                          "--m=3002",
                          "--nl=3003",
                          "--l",
                          "::2",
                          "--p",
                          "::3",
                          "--c",
                          "srv",
                          "--f",
                          "1"});
    EXPECT_STREQ(c->netns, "x");
    EXPECT_STREQ(c->ca_file, "ca.pem");
    EXPECT_EQ(text_of(c->target), "::ffff:10.0.0.9");
    EXPECT_EQ(c->nfs_ssl_port, 3000);
    EXPECT_EQ(c->nfs_port, 3001);
    EXPECT_EQ(c->mount_port, 3002);
    EXPECT_EQ(c->nlm_port, 3003);
    EXPECT_EQ(text_of(c->local), "::2");
    EXPECT_EQ(text_of(c->prefsrc), "::3");
    EXPECT_STREQ(c->common_name, "srv");
    EXPECT_EQ(c->fips, 1);
}

TEST(ConfigTest, WordsThatAreNotOptionsAreIgnoredWhereverTheyStand)
{
    config_ptr c = parse({"zarn-dwel-forwarder", "10.0.0.5", "-C", "ca.pem", "stray", "-n", "ns1",
                          "-T", "10.0.0.6", "10.0.0.7"});
    EXPECT_EQ(text_of(c->target), "::ffff:10.0.0.6");
    EXPECT_STREQ(c->netns, "ns1");
    EXPECT_STREQ(c->ca_file, "ca.pem");

    // After "--" everything is a word, even text that looks like an option.
    c = parse_with_required({"--", "-T", "10.0.0.8"});
    EXPECT_EQ(text_of(c->target), "::ffff:192.0.2.1");
}

TEST(ConfigTest, ReservedPortIsAcceptedInEveryFormAndChangesNothing)
{
    for (auto form : std::vector<std::vector<std::string>>{
             {"-R", "7"}, {"-R7"}, {"--reserved-port"}, {"--reserved-port=7"}, {"--res=9"}}) {
        SCOPED_TRACE(form[0]);
        config_ptr plain = parse_with_required({});
        std::vector<std::string> words = {
            "zarn-dwel-forwarder", "-C", "ca.pem", "-n", "ns0", "-T", "192.0.2.1"};
        words.insert(words.end(), form.begin(), form.end());
        config_ptr c = parse(words);
        // netns is a heap pointer, so compare the record up to it and the text it names.
        EXPECT_EQ(memcmp(c.get(), plain.get(), offsetof(config, netns)), 0);
        EXPECT_STREQ(c->netns, plain->netns);
    }
}

TEST(ConfigTest, TextFieldsHoldUpTo255Characters)
{
    std::string longest(CONFIG_TEXT_SZ - 1, 'c');
    config_ptr c = parse_with_required({"-C", longest, "-O", longest});
    EXPECT_EQ(std::string(c->ca_file), longest);
    EXPECT_EQ(std::string(c->common_name), longest);

    // The namespace name is a heap copy and has no such bound.
    std::string long_ns(1000, 'n');
    c = parse_with_required({"-n", long_ns});
    EXPECT_EQ(std::string(c->netns), long_ns);
}
