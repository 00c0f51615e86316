// The accepted-names file: read_json on a file holding the input. A list comes back exactly
// when the text is a document whose "wildcards" member is an array of strings that are all
// names the TLS library can check, and the file fits the reader's buffer; it then holds those
// strings in order and ends with a null entry. Every list is freed here, so leak checking catches
// anything the reader loses on any path.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <json-c/json.h>

#include <cctype>
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

// A name the TLS library can check a host name against, written as plainly as possible: an
// optional leading dot, then dot-separated labels of 1 to 63 letters, digits, '-', '_' or '*',
// 253 bytes at most, no zero byte; or an IPv6 address, checked against the certificate's IP
// addresses instead.
bool usable_name(const std::string &name)
{
    if (name.empty() || name.size() > 253)
        return false;
    unsigned char ip[16];
    if (name.find(':') != std::string::npos && name.find('\0') == std::string::npos)
        return inet_pton(AF_INET6, name.c_str(), ip) == 1;
    std::string rest = name[0] == '.' ? name.substr(1) : name;
    std::vector<std::string> labels(1);
    for (char c : rest) {
        if (c == '.')
            labels.emplace_back();
        else
            labels.back() += c;
    }
    for (const std::string &label : labels) {
        if (label.empty() || label.size() > 63)
            return false;
        for (char c : label)
            if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '*')
                return false;
    }
    return true;
}

// The names the file stands for, or false when no list may come back. The text is seen the
// way the reader sees it: cut at its first zero byte by the parser; a name is every byte of
// its JSON string, escaped zero bytes included.
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
            if (!ok)
                break;
            std::string name(json_object_get_string(e),
                             static_cast<size_t>(json_object_get_string_len(e)));
            ok = usable_name(name);
            if (ok)
                names->push_back(name);
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
    // The raw bytes as one name, too: odd and empty strings straight into the check.
    std::string raw(reinterpret_cast<const char *>(data), size);
    FZ_CHECK((host_name_fault(raw.data(), raw.size()) == nullptr) == usable_name(raw));
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
