// Leveled log lines with a fixed prefix, fatal errors and the log threshold.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum : int {
    LVL_TRACE = 0,
    LVL_DEBUG = 1,
    LVL_INFO = 2,
    LVL_WARN = 3,
    LVL_ERROR = 4,
    LVL_BUG = 5,
    LVL_FATAL = 6,
};

extern const char *const spew_level_name[7];

void report(int level, const char *function, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
void vreport(int level, const char *function, const char *file, int line, const char *format,
             va_list ap) __attribute__((format(printf, 5, 0)));
[[noreturn]] void report_error(const char *function, const char *file, int line, const char *format,
                               ...) __attribute__((format(printf, 4, 5)));

// Exit statuses of start-up faults that no restart can cure, so that a service manager can be
// told not to retry them (sysexits.h's EX_NOPERM and EX_CONFIG). Every other fatal report
// ends with 255.
inline constexpr int EXIT_NO_PERMISSION = 77;
inline constexpr int EXIT_CONFIGURATION = 78;
// A fatal report about the environment or the configuration, with its own exit status. Its
// text may hold several lines: the first is the line operators search for, the further ones
// (indented) name the cause and what to check. Each line is a syslog record of its own.
[[noreturn]] void report_fatal(int status, const char *function, const char *file, int line,
                               const char *format, ...) __attribute__((format(printf, 5, 6)));

// Lets a kind of line through at most once per interval, so that a storm of the same event
// (every client of a mount reconnecting to a server that refuses it) costs a line per
// interval, not one per event. Zero-filled is ready for use.
struct report_limit {
    uint64_t next_ns;
    uint64_t held;
};
// True when the line may go out at now_ns; *held then says how many were held back since the
// last line that went out.
[[nodiscard]] bool report_limit_pass(report_limit *limit, uint64_t now_ns, uint64_t interval_ns,
                                     uint64_t *held);

// Text that came from a peer or a file (a certificate's names, an accepted name, a path), made
// safe for one log line: printable ASCII is copied, the backslash doubled and every other byte
// written "\xHH", so that no newline, carriage return or terminal escape of a peer can forge a
// line (a syslog header in the middle of a line is only text) or hide one. `len` bytes of `text`
// are read, zero bytes included. The result is cut at a whole escape when it does not fit; `out` is
// always terminated (`size` > 0) and returned, so the call can be a log argument.
inline constexpr size_t REPORT_ESCAPE_MAX = 4;
// Room for the escaped form of n bytes, whatever they are.
constexpr size_t report_escape_size(size_t n)
{
    return REPORT_ESCAPE_MAX * n + 1;
}
const char *report_escape(const char *text, size_t len, char *out, size_t size);

void report_set_min_level(int level);
int report_min_level();
void report_use_syslog();
// Opens the system log with this identity (kept by the caller for the life of the process),
// the pid in every record and the daemon facility.
void report_open_log(const char *identity);
// While start-up lasts, lines at WARN and above and fatal reports also go to the standard
// error, in the standard-stream format, so that a person who started the daemon by hand sees
// why it stopped; not when the standard error is the journal ($JOURNAL_STREAM names it), where
// each line would be shown twice.
void report_mirror_startup();
// From now on the calling thread's syslog lines below ERROR are held and sent together by the
// next report_flush (a loop's thread calls it before each wait), by any line of another thread
// (which goes out after them) or at the process's exit; never dropped, never reordered.
void report_hold_lines();
void report_flush();
void report_startup_done();
void report_more();
void report_less();

// Every source file names itself once, as the log prefix shows it:
//   static constexpr char THIS_FILE[] = "src/config";
#define REPORT(level, ...) report((level), __func__, THIS_FILE, __LINE__, __VA_ARGS__)
#define REPORT_ERROR(...) report_error(__func__, THIS_FILE, __LINE__, __VA_ARGS__)
#define REPORT_FATAL(status, ...) report_fatal((status), __func__, THIS_FILE, __LINE__, __VA_ARGS__)
