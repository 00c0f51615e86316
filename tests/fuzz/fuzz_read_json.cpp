// The accepted-names file: read_json on a file holding the input. A list comes back exactly
// when the text is a document whose "wildcards" member is an array of strings and the file
// fits the reader's buffer; it then holds those strings in order and ends with a null entry.
// Every list is freed here, so leak checking catches anything the reader loses on any path.
#include <fcntl.h>
#include <unistd.h>

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "report.h"
#include "util.h"

namespace
{

// The reader takes the whole file in one read into a zero-filled buffer of this size and
// keeps its last byte for the terminating zero.
constexpr size_t READER_BUF_SZ = 4096;

char path[] = "/tmp/zd-fuzz-json-XXXXXX";
int fd = -1;

void remove_file()
{
    unlink(path);
}

void write_input(const uint8_t *data, size_t size)
{
    FZ_CHECK(ftruncate(fd, 0) == 0);
    FZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
}

// The names the file stands for, or false when no list may come back. The text is seen the
// way the reader sees it: cut at its first zero byte by the parser.
bool expected_names(const uint8_t *data, size_t size, std::vector<std::string> *names)
{
    if (size == 0 || size >= READER_BUF_SZ)
        return false;
    std::vector<char> buf(READER_BUF_SZ, 0);
    memcpy(buf.data(), data, size);
    json_object *doc = json_tokener_parse(buf.data());
    if (doc == nullptr)
        return false;
    bool ok = false;
    json_object *list = nullptr;
    if (json_object_get_type(doc) == json_type_object &&
        json_object_object_get_ex(doc, "wildcards", &list) &&
        json_object_get_type(list) == json_type_array) {
        ok = true;
        for (size_t i = 0; i < json_object_array_length(list) && ok; i++) {
            json_object *e = json_object_array_get_idx(list, i);
            ok = json_object_get_type(e) == json_type_string;
            if (ok)
                names->emplace_back(json_object_get_string(e));
        }
    }
    json_object_put(doc);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fd = mkstemp(path);
    if (fd < 0) {
        perror("mkstemp");
        abort();
    }
    atexit(remove_file);
    // The ERROR lines of refused files are the common case here; formatting them is exercised
    // by the unit tests, and skipping them keeps the runs fast.
    report_set_min_level(LVL_FATAL);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    write_input(data, size);
    std::vector<std::string> expected;
    bool want_list = expected_names(data, size, &expected);
    char **names = read_json(path);
    FZ_CHECK((names != nullptr) == want_list);
    if (names == nullptr)
        return 0;
    size_t n = 0;
    for (; names[n] != nullptr; n++) {
        FZ_CHECK(n < expected.size());
        FZ_CHECK(expected[n] == names[n]);
        free(names[n]);
    }
    FZ_CHECK(n == expected.size());
    free(names);
    return 0;
}
