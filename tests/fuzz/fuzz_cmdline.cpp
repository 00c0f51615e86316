// The whole command line: parse_arguments on an argument vector made from the input. The
// calls that end the process (usage, the address errors, the final checks) come back through
// the exit trap; a record that is returned must be complete and its texts must fit their fields.
#include <getopt.h>
#include <sanitizer/allocator_interface.h>

#include <cstdlib>
#include <cstring>

#include "config.h"
#include "fuzz_support.h"

namespace
{

constexpr size_t MAX_WORDS = 64;

// An exit inside parse_arguments leaves its record behind. The record is the first block the
// call allocates, so the allocator hook notes it and the trap's path frees it, the way the
// process's end would have; leak checking then still finds any other block the parser loses.
bool watching;
void *first_block;
size_t first_block_size;

void on_malloc(const volatile void *ptr, size_t size)
{
    if (!watching || first_block != nullptr)
        return;
    first_block = const_cast<void *>(ptr);
    first_block_size = size;
}

void on_free(const volatile void *) {}

bool all_zero(const address &a)
{
    for (uint8_t b : a.b)
        if (b != 0)
            return false;
    return true;
}

void check_record(const config *c)
{
    FZ_CHECK(memchr(c->common_name, 0, sizeof(c->common_name)) != nullptr);
    FZ_CHECK(memchr(c->ca_file, 0, sizeof(c->ca_file)) != nullptr);
    FZ_CHECK(c->ca_file[0] != '\0');
    FZ_CHECK(c->netns != nullptr);
    FZ_CHECK(!all_zero(c->target));
}

void free_record(config *c)
{
    free(c->netns);
    free(c);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    // GNU getopt stops at the first non-option word with this set; the daemon runs without it.
    unsetenv("POSIXLY_CORRECT");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fz::arg_vector args(data, size, "zarn-dwel-forwarder", MAX_WORDS);
    config *c = nullptr;
    int status = 0;
    // getopt_long keeps its position in globals; 0 makes it start over on a new vector.
    optind = 0;
    first_block = nullptr;
    watching = true;
    bool exited =
        fz::trapping_exit([&] { c = parse_arguments(args.argc(), args.argv()); }, &status);
    watching = false;
    if (!exited) {
        FZ_CHECK(c != nullptr && c == first_block);
        check_record(c);
        free_record(c);
        return 0;
    }
    // usage() and the final checks end with 255, an address that does not parse with 1, and
    // -V with 0 after printing the version.
    FZ_CHECK(status == 0 || status == 1 || status == 255 || status == -1);
    FZ_CHECK(first_block != nullptr && first_block_size == sizeof(config));
    free_record(static_cast<config *>(first_block));
    return 0;
}
