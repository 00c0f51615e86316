#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace fz
{

arg_vector::arg_vector(const uint8_t *data, size_t size, const char *program, size_t max_words)
{
    if (program != nullptr)
        words_.emplace_back(program);
    std::string current;
    bool pending = size > 0;
    for (size_t i = 0; i < size && words_.size() < max_words; i++) {
        if (data[i] == 0) {
            words_.push_back(current);
            current.clear();
            pending = i + 1 < size;
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (pending && words_.size() < max_words)
        words_.push_back(current);
    // The pointers are taken only once every word is in place: growing the vector of words
    // may move them.
    for (auto &w : words_)
        pointers_.push_back(w.data());
    pointers_.push_back(nullptr);
}

uint64_t take_number(const uint8_t **data, size_t *size, size_t bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; i++) {
        uint64_t byte = 0;
        if (*size > 0) {
            byte = **data;
            (*data)++;
            (*size)--;
        }
        value |= byte << (8 * i);
    }
    return value;
}

void property_failed(const char *file, int line, const char *text)
{
    fprintf(stderr, "%s:%d: property failed: %s\n", file, line, text);
    fflush(stderr);
    abort();
}

} // namespace fz
