// The escaping of peer and file text for log lines, against a plain model: every output byte is
// printable, the output is the model's escaping of the input cut at a whole escape, and it is
// all of it whenever the buffer has room; unescaping gives the input back.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "report.h"

namespace
{

std::string model_escape(const std::string &in, std::vector<size_t> *ends)
{
    std::string out;
    for (unsigned char c : in) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else {
            char unit[5];
            snprintf(unit, sizeof(unit), "\\x%02x", c);
            out += unit;
        }
        ends->push_back(out.size());
    }
    return out;
}

std::string unescape(const std::string &in)
{
    std::string out;
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] != '\\') {
            out += in[i];
        } else if (in[i + 1] == '\\') {
            out += '\\';
            i++;
        } else {
            FZ_CHECK(in[i + 1] == 'x' && i + 3 < in.size());
            out += static_cast<char>(std::stoi(in.substr(i + 2, 2), nullptr, 16));
            i += 3;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte picks the buffer's size, so that the cut is tried at every place.
    uint64_t room = fz::take_number(&data, &size, 1);
    std::string in(reinterpret_cast<const char *>(data), size);
    std::vector<size_t> ends{0};
    std::string whole = model_escape(in, &ends);
    size_t out_size = room == 255 ? report_escape_size(size) : static_cast<size_t>(room);
    std::vector<char> out(out_size + 1, '#');
    const char *result = report_escape(in.data(), in.size(), out.data(), out_size);
    FZ_CHECK(result == out.data());
    FZ_CHECK(out[out_size] == '#');
    if (out_size == 0)
        return 0;
    std::string got(out.data());
    for (unsigned char c : got)
        FZ_CHECK(c >= 0x20 && c <= 0x7e);
    // The longest whole prefix of escapes that fits with the terminator.
    size_t fits = 0;
    for (size_t end : ends)
        if (end < out_size)
            fits = end;
    FZ_CHECK(got == whole.substr(0, fits));
    if (out_size >= report_escape_size(size))
        FZ_CHECK(got == whole && unescape(got) == in);
    return 0;
}
