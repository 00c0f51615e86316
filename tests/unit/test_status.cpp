// The status file's content as a JSON reader sees it, its path, and the rate limit of the
// failure lines.
#include <gtest/gtest.h>

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "forwarder-ops.h"
#include "report.h"
#include "status.h"

namespace
{

struct status_fixture : ::testing::Test {
    config cfg{};
    forwarder_ctx ctx{};
    char netns[32] = "ns \"one\"\\\x01";

    void SetUp() override
    {
        ASSERT_EQ(parse_address("2001:db8::7", &cfg.target), 0);
        cfg.nfs_ssl_port = 2051;
        cfg.netns = netns;
        for (uint16_t port : {111, 2048, 2049, 2050})
            forwarder_add_port(&ctx, port);
        ctx.npairs = 3;
        ctx.ports[2] = port_counters{2049, 10, 1, 2, 3, 4, 5, 6, 3, 1ull << 40, 17, {}, {}};
    }

    json_object *render(bool running)
    {
        char text[STATUS_TEXT_SZ];
        size_t len = status_render(&ctx, &cfg, 1000000000, 1000000065, running, text, sizeof(text));
        EXPECT_GT(len, 0u);
        EXPECT_EQ(len, strlen(text));
        return json_tokener_parse(text);
    }
};

int64_t field(json_object *o, const char *name)
{
    json_object *v = nullptr;
    EXPECT_TRUE(json_object_object_get_ex(o, name, &v)) << name;
    return json_object_get_int64(v);
}

std::string text_field(json_object *o, const char *name)
{
    json_object *v = nullptr;
    EXPECT_TRUE(json_object_object_get_ex(o, name, &v)) << name;
    return json_object_get_string(v);
}

TEST_F(status_fixture, ReadsBackAsTheCountersThatWereRendered)
{
    json_object *root = render(true);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(text_field(root, "state"), "running");
    // Any byte of the operator's namespace name survives the trip.
    EXPECT_EQ(text_field(root, "namespace"), netns);
    EXPECT_EQ(text_field(root, "mount_target"), "[2001:db8::7]:2051");
    EXPECT_EQ(text_field(root, "started"), "2001-09-09T01:46:40Z");
    EXPECT_EQ(text_field(root, "updated"), "2001-09-09T01:47:45Z");
    EXPECT_EQ(field(root, "live_pairs"), 3);
    json_object *ports = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(root, "ports", &ports));
    ASSERT_EQ(json_object_array_length(ports), 4u);
    const char *services[] = {"rpcbind", "mount", "nfs", "nlm"};
    for (size_t k = 0; k < 4; k++)
        EXPECT_EQ(text_field(json_object_array_get_idx(ports, k), "service"), services[k]);
    json_object *nfs = json_object_array_get_idx(ports, 2);
    EXPECT_EQ(field(nfs, "port"), 2049);
    EXPECT_EQ(field(nfs, "accepted"), 10);
    EXPECT_EQ(field(nfs, "refused_at_limit"), 1);
    EXPECT_EQ(field(nfs, "connect_failures"), 2);
    EXPECT_EQ(field(nfs, "handshake_failures"), 3);
    EXPECT_EQ(field(nfs, "verification_failures"), 4);
    EXPECT_EQ(field(nfs, "session_failures"), 5);
    EXPECT_EQ(field(nfs, "reset_pairs"), 6);
    EXPECT_EQ(field(nfs, "live_pairs"), 3);
    EXPECT_EQ(field(nfs, "bytes_up"), 1ll << 40);
    EXPECT_EQ(field(nfs, "bytes_down"), 17);
    EXPECT_EQ(field(json_object_array_get_idx(ports, 0), "accepted"), 0);
    json_object_put(root);

    root = render(false);
    EXPECT_EQ(text_field(root, "state"), "stopped");
    json_object_put(root);
}

TEST_F(status_fixture, TooSmallABufferGivesNothingRatherThanHalfAFile)
{
    char text[STATUS_TEXT_SZ];
    size_t whole = status_render(&ctx, &cfg, 0, 0, true, text, sizeof(text));
    ASSERT_GT(whole, 0u);
    EXPECT_EQ(status_render(&ctx, &cfg, 0, 0, true, text, whole), 0u);
    EXPECT_EQ(status_render(&ctx, &cfg, 0, 0, true, text, whole + 1), whole);
}

TEST(status_path, DefaultPerNamespaceOrFromTheEnvironment)
{
    char path[64];
    unsetenv(STATUS_ENV);
    ASSERT_TRUE(status_path("nfs0", path, sizeof(path)));
    EXPECT_STREQ(path, "/run/zarn-dwel/nfs0/status.json");
    EXPECT_FALSE(status_path("a-namespace-name-that-does-not-fit-at-all", path, 40));
    setenv(STATUS_ENV, "/var/tmp/st.json", 1);
    ASSERT_TRUE(status_path("nfs0", path, sizeof(path)));
    EXPECT_STREQ(path, "/var/tmp/st.json");
    setenv(STATUS_ENV, "", 1);
    EXPECT_FALSE(status_path("nfs0", path, sizeof(path)));
    unsetenv(STATUS_ENV);
}

TEST(report_limit, OneLinePerIntervalAndTheNextCountsWhatWasHeldBack)
{
    report_limit limit{};
    uint64_t held = 99;
    const uint64_t second = 1000000000;
    ASSERT_TRUE(report_limit_pass(&limit, 5 * second, 10 * second, &held));
    EXPECT_EQ(held, 0u);
    for (uint64_t t = 6; t < 15; t++)
        EXPECT_FALSE(report_limit_pass(&limit, t * second, 10 * second, &held)) << t;
    ASSERT_TRUE(report_limit_pass(&limit, 15 * second, 10 * second, &held));
    EXPECT_EQ(held, 9u);
    ASSERT_TRUE(report_limit_pass(&limit, 40 * second, 10 * second, &held));
    EXPECT_EQ(held, 0u);
}

} // namespace
