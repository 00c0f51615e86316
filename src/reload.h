// The files a reload needs, read for the sandboxed daemon by a helper process.
//
// Once start-up is over the daemon may not open files, and the sandbox is not widened for a
// reload. A small reader is forked at start-up instead, before any thread: it keeps no
// capabilities and cannot gain any, knows the two paths it was given and nothing else, and on
// each request sends back what they hold over its socket. The daemon parses what comes back;
// the reader interprets nothing.
#pragma once

#include <cstddef>

// What one file held: its bytes (heap, zero-terminated, `len` not counting the zero), or the
// errno value of the failure to read it (EFBIG for a file over the reader's limit, EINVAL for
// one that is no regular file).
struct reload_file {
    char *data;
    size_t len;
    int err;
};

struct reload_files {
    reload_file ca;
    reload_file names;
};

// The largest CA bundle a reload takes.
inline constexpr size_t RELOAD_CA_MAX = 64u << 20;

// Forks the reader for the CA bundle and, when not null, the accepted-names file. 0 on success;
// -1 after a WARN line, and a reload then fails with the reason.
[[nodiscard]] int reload_reader_start(const char *ca_file, const char *names_file);
// Asks the reader for both files and waits (at most 10 s) for them. 0 on success, else a
// negative errno value (the reader gone or silent); `out` holds the files either way and is
// freed with reload_files_free.
[[nodiscard]] int reload_fetch(reload_files *out);
void reload_files_free(reload_files *files);
