// The system-call sandbox the daemon enters once start-up is over: no_new_privs and a seccomp
// allowlist, for every thread of the process.
#pragma once

#include <cstddef>

// The real-time signal by which a refused call is reported: the handler of SIGSYS queues it
// to the process with the call's number as its value. The caller blocks it in every thread and
// reads it from its signal descriptor, where logging is safe (sandbox_refusal_text).
int sandbox_signal();

// Sets no_new_privs and loads the filter into every thread of the process (TSYNC). A call that
// is not allowed fails with EPERM and queues sandbox_signal(); nothing is killed. Opening a
// file is refused quietly (EACCES). A build with AddressSanitizer or ThreadSanitizer allows
// the calls of its runtime too; under valgrind, which cannot run the seccomp call, nothing is
// loaded and a WARN line says so. 0 on success (or under valgrind), else a negative errno
// value; the process is unchanged after a failure.
[[nodiscard]] int sandbox_enter();

// The tool whose needs the sandbox takes into account ("AddressSanitizer", "ThreadSanitizer",
// "valgrind"), or "" for none.
const char *sandbox_tool();

// The name of system call `nr` for a log line, in the caller's buffer.
const char *sandbox_syscall_name(int nr, char *buffer, size_t size);
