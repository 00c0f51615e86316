// Faults the fuzz targets of tests/fuzz found, kept here so that every build checks them, not
// only the clang build that runs the fuzzers. Their inputs are also under tests/fuzz/crashes/.
#include <gtest/gtest.h>

#include "util.h"

// The port was read into an int, which kept only the low 32 bits of a longer number: a text
// naming port 4294969345 came back as port 2049.
TEST(FuzzFindings, EndpointPortBeyondIntRangeIsRefusedNotWrapped)
{
    endpoint ep{};
    for (const char *text : {"[::1]:4294969345", "[::]: +21474836487", "10.0.0.1:4294967297",
                             "10.0.0.1:-4294967295", "10.0.0.1:99999999999999999999"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse_endpoint(text, &ep), -1);
        EXPECT_EQ(parse_endpoint(text, nullptr), -1);
    }
    ASSERT_EQ(parse_endpoint("[::1]:65535", &ep), 0);
    EXPECT_EQ(ep.port, 65535);
    ASSERT_EQ(parse_endpoint("10.0.0.1: +2049", &ep), 0);
    EXPECT_EQ(ep.port, 2049);
}
