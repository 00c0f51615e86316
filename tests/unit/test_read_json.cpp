// The accepted-names reader: every refusal logs exactly one ERROR line naming the file and
// returns nothing; every success returns the names in file order. Run this binary under
// valgrind to see that no refusal leaves anything allocated.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <utility>
#include <string>
#include <vector>

#include "log_capture.h"
#include "temp_dir.h"
#include "util.h"

namespace
{

using logcap::log_line;
using logcap::messages_at;
using logcap::parse_log;

struct read_result {
    std::vector<std::string> names;
    bool got_list = false;
    std::vector<log_line> log;
};

// Takes the list apart the way its owner must: every string, then the array.
read_result read_names(const std::string &path)
{
    read_result r;
    char **names = nullptr;
    std::string out = logcap::capture_stdout([&] { names = read_json(path.c_str()); });
    r.log = parse_log(out);
    if (names != nullptr) {
        r.got_list = true;
        for (char **p = names; *p != nullptr; p++) {
            r.names.push_back(*p);
            free(*p);
        }
        free(names);
    }
    return r;
}

void expect_one_error(const read_result &r, const std::string &message)
{
    EXPECT_FALSE(r.got_list);
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(r.log[0].level, "ERROR");
    EXPECT_EQ(r.log[0].function, "read_json");
    EXPECT_EQ(r.log[0].file, "src/util");
    EXPECT_EQ(r.log[0].message, message);
}

class ReadJsonTest : public ::testing::Test
{
  protected:
    temp_dir dir;
};

} // namespace

TEST_F(ReadJsonTest, FilesThatCannotBeOpenedOrReadAreRefused)
{
    std::string missing = dir.path("missing.json");
    expect_one_error(read_names(missing), "Unable to open config file " + missing + ".");

    std::string empty = dir.write("empty.json", "");
    expect_one_error(read_names(empty), "Unable to read json file " + empty + ".");

    // Anything but a regular file is refused without waiting for it (a FIFO nobody writes to
    // would block the open for good), naming what it is.
    std::string fifo = dir.path("fifo.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const auto &[path, kind] : {std::pair{fifo, "FIFO"}, std::pair{dir.path(""), "directory"},
                                     std::pair{std::string("/dev/zero"), "character device"}})
        expect_one_error(read_names(path), "Unable to read json file " + path + ": it is a " +
                                               kind + ", not a regular file.");
}

TEST_F(ReadJsonTest, TextThatIsNotJsonIsRefused)
{
    for (const char *text : {"this is not json", "{\"wildcards\": [\"a\"", "null", "\n"}) {
        SCOPED_TRACE(text);
        std::string p = dir.write("bad.json", text);
        expect_one_error(read_names(p), "Unable to parse json file " + p + ".");
    }
}

TEST_F(ReadJsonTest, DocumentsWithoutAWildcardsArrayAreRefused)
{
    const char *docs[] = {
        "{}",
        "{\"cnames\": [\"a.example\"]}",
        "{\"Wildcards\": [\"a.example\"]}",
        "{\"wildcards\": \"a.example\"}",
        "{\"wildcards\": {\"0\": \"a.example\"}}",
        "{\"wildcards\": null}",
        "[\"a.example\"]",
        "[{\"wildcards\": [\"a.example\"]}]",
        "\"wildcards\"",
        "42",
    };
    for (const char *doc : docs) {
        SCOPED_TRACE(doc);
        std::string p = dir.write("doc.json", doc);
        expect_one_error(read_names(p), "Unable to parse cnames from json file " + p + ".");
    }
}

TEST_F(ReadJsonTest, ANonStringElementRefusesTheWholeList)
{
    struct {
        const char *doc;
        int index;
    } cases[] = {
        {"{\"wildcards\": [\"a.example\", \"b.example\", 3, \"d.example\"]}", 2},
        {"{\"wildcards\": [null]}", 0},
        {"{\"wildcards\": [\"a.example\", [\"b.example\"]]}", 1},
        {"{\"wildcards\": [\"a.example\", {}]}", 1},
        {"{\"wildcards\": [\"a.example\", \"b.example\", \"c.example\", true]}", 3},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.doc);
        std::string p = dir.write("doc.json", tc.doc);
        expect_one_error(read_names(p), "Unable to parse cname at index " +
                                            std::to_string(tc.index) + " from json file " + p +
                                            ".");
    }
}

TEST_F(ReadJsonTest, NamesComeBackInFileOrder)
{
    std::string p = dir.write("names.json", "{\"comment\": \"ignored\", \"wildcards\": "
                                            "[\"b.example\", \"*.a.example\", \"b.example\", "
                                            "\".sub.example\"], \"other\": [1, 2]}");
    read_result r = read_names(p);
    ASSERT_TRUE(r.got_list);
    EXPECT_TRUE(r.log.empty());
    EXPECT_EQ(r.names,
              (std::vector<std::string>{"b.example", "*.a.example", "b.example", ".sub.example"}));
}

// The library skips an empty name without a word and then checks no host name at all; a name
// it cannot match is as good as none. Either refuses the whole file, naming the index, and
// the name is shown escaped, since it is the file's text.
TEST_F(ReadJsonTest, NamesTheLibraryCannotCheckRefuseTheWholeList)
{
    const std::string long_label(64, 'a');
    std::string long_name;
    while (long_name.size() < 254)
        long_name += "abcdefghi.";
    long_name += "x";
    struct {
        std::string json; // the element as JSON text
        std::string shown;
        std::string why;
    } cases[] = {
        {"\"\"", "", "an empty name would turn the host-name check off"},
        {"\"a\\u0000b.test\"", "a\\x00b.test", "it holds a zero byte"},
        {"\"a b.test\"", "a b.test",
         "not a host name (letters, digits, \"-\", \"_\", \"*\" and dots only)"},
        {"\"evil\\n<13>forged\"", "evil\\x0a<13>forged",
         "not a host name (letters, digits, \"-\", \"_\", \"*\" and dots only)"},
        {"\"\\u001b[2Jx.test\"", "\\x1b[2Jx.test",
         "not a host name (letters, digits, \"-\", \"_\", \"*\" and dots only)"},
        {"\"caf\u00e9.test\"", "caf\\xc3\\xa9.test",
         "not a host name (letters, digits, \"-\", \"_\", \"*\" and dots only)"},
        {"\"2001:db8::1:\"",
         "2001:db8::1:", "not a host name (letters, digits, \"-\", \"_\", \"*\" and dots only)"},
        {"\".\"", ".", "an empty label"},
        {"\"a..test\"", "a..test", "an empty label"},
        {"\"a.test.\"", "a.test.", "an empty label"},
        {"\"..test\"", "..test", "an empty label"},
        {"\"" + long_label + ".test\"", long_label.substr(0, 64),
         "a label longer than 63 characters"},
        {"\"" + long_name + "\"", long_name.substr(0, 64), "longer than 253 characters"},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.json);
        std::string p = dir.write("doc.json", "{\"wildcards\": [\"a.example\", " + tc.json + "]}");
        expect_one_error(read_names(p), "Unable to use cname \"" + tc.shown +
                                            "\" at index 1 from json file " + p + ": " + tc.why +
                                            ".");
    }
    // The edges that are still names: 63-character labels, 253 characters, one leading dot,
    // addresses (checked against the certificate's IP addresses).
    std::string edge = std::string(63, 'b') + ".test";
    std::string longest;
    while (longest.size() + 10 <= 253)
        longest += "abcdefghi.";
    longest += std::string(253 - longest.size(), 'z');
    for (const std::string &name :
         {edge, longest, std::string(".test"), std::string("192.0.2.1"), std::string("2001:db8::1"),
          std::string("x_y-Z.test"), std::string("*.test")}) {
        read_result r = read_names(dir.write("ok.json", "{\"wildcards\": [\"" + name + "\"]}"));
        EXPECT_TRUE(r.got_list) << name;
        EXPECT_EQ(r.names, std::vector<std::string>{name});
    }
}

TEST_F(ReadJsonTest, AnEmptyArrayIsAnEmptyList)
{
    read_result r = read_names(dir.write("empty-list.json", "{\"wildcards\": []}"));
    EXPECT_TRUE(r.got_list);
    EXPECT_TRUE(r.names.empty());
    EXPECT_TRUE(r.log.empty());
}

TEST_F(ReadJsonTest, EachNameIsAnIndependentCopy)
{
    std::string p = dir.write("names.json", "{\"wildcards\": [\"one.example\", \"two.example\"]}");
    char **names = nullptr;
    logcap::capture_stdout([&] { names = read_json(p.c_str()); });
    ASSERT_NE(names, nullptr);
    ASSERT_NE(names[0], nullptr);
    ASSERT_NE(names[1], nullptr);
    EXPECT_EQ(names[2], nullptr);
    // Each entry is its own allocation: writing over the first one's terminator and freeing
    // it leaves the second intact, which it would not if both pointed into one block.
    names[0][0] = 'X';
    free(names[0]);
    EXPECT_STREQ(names[1], "two.example");
    free(names[1]);
    free(names);
}

// The file is read in one piece into a 4096-byte buffer that must keep its terminating zero.
TEST_F(ReadJsonTest, FilesLongerThan4095BytesAreRefused)
{
    std::string doc = "{\"wildcards\": [\"a.example\"]}";
    std::string fits = doc + std::string(4095 - doc.size(), ' ');
    ASSERT_EQ(fits.size(), 4095u);
    read_result r = read_names(dir.write("fits.json", fits));
    EXPECT_TRUE(r.got_list);
    EXPECT_EQ(r.names, std::vector<std::string>{"a.example"});

    for (size_t size : {4096u, 4097u, 10000u}) {
        SCOPED_TRACE(size);
        std::string p = dir.write("long.json", doc + std::string(size - doc.size(), ' '));
        expect_one_error(read_names(p), "Unable to parse json file " + p + ".");
    }

    // A name list that would only be complete past the buffer must not come back cut short.
    std::string names = "{\"wildcards\": [";
    for (int i = 0; names.size() < 5000; i++)
        names += "\"host" + std::to_string(i) + ".example\", ";
    names += "\"last.example\"]}";
    std::string p = dir.write("many.json", names);
    expect_one_error(read_names(p), "Unable to parse json file " + p + ".");
}
