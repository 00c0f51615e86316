// Helpers shared by the fuzz targets: command lines made from fuzz input, and a trap that turns
// the process-ending calls of the code under test back into an ordinary return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fz
{

// An argument vector built from fuzz input: the bytes are split at every zero byte into words,
// at most max_words of them, and an optional fixed program name comes first. The words are
// writable, as getopt_long needs them, and the vector ends with a null pointer.
class arg_vector
{
  public:
    arg_vector(const uint8_t *data, size_t size, const char *program, size_t max_words);
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    char **argv() { return pointers_.data(); }
    const std::string &word(size_t i) const { return words_[i]; }

  private:
    std::vector<std::string> words_;
    std::vector<char *> pointers_;
};

// Reads a little-endian number of `bytes` bytes from the front of the input and advances it;
// missing bytes read as zero, so a short input still decodes to a valid program.
uint64_t take_number(const uint8_t **data, size_t *size, size_t bytes);

// The trap exists only in the targets linked with --wrap=exit and --wrap=_exit (exit_trap.cpp):
// it runs fn(arg) and, when fn ends the process, returns true with the status instead.
// Code run under the trap must not hold locks or half-built state at its exit calls.
bool run_trapping_exit(void (*fn)(void *), void *arg, int *status);

template <typename F> bool trapping_exit(F &&body, int *status)
{
    return run_trapping_exit([](void *p) { (*static_cast<F *>(p))(); }, &body, status);
}

// Aborts with a message when a checked property fails; libFuzzer then keeps the input as a
// crash and the message says which property it broke.
[[noreturn]] void property_failed(const char *file, int line, const char *text);

} // namespace fz

#define FZ_CHECK(cond)                                                                             \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fz::property_failed(__FILE__, __LINE__, #cond);                                        \
    } while (0)
