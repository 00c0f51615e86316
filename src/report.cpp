#include "report.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

const char *const spew_level_name[7] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "BUG", "FATAL"};

static pthread_mutex_t report_mx = PTHREAD_MUTEX_INITIALIZER;
static int min_spew_level = LVL_INFO;
static int use_syslog = 0;
static int mirror_stderr = 0;

static constexpr int SYSLOG_LINE_SZ = 1024;
static constexpr int NAME_WIDTH = 12;
// A fatal report's whole text, all of its lines.
static constexpr int FATAL_TEXT_SZ = 2048;

// Callers use 0 to 6 only; anything else must still not index past the table.
static const char *level_name(int level)
{
    if (level < 0 || level > LVL_FATAL)
        return "?";
    return spew_level_name[level];
}

static void print_header(FILE *stream, int level, const char *function, const char *file, int line)
{
    struct timespec ts = {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm = {};
    gmtime_r(&ts.tv_sec, &tm);
    char when[64];
    strftime(when, sizeof(when), "%Y-%m-%dT%H-%M-%S", &tm);
    int tid = static_cast<int>(syscall(SYS_gettid));
    fprintf(stream, "%s.%06ldZ: %5s %d:%d %-*.*s:%s:%d:", when, ts.tv_nsec / 1000,
            level_name(level), static_cast<int>(getpid()), tid, NAME_WIDTH, NAME_WIDTH, function,
            file, line);
}

// A worker's lines wait here during one iteration of its loop and go to /dev/log together, in
// one sendmmsg, when it is about to wait: the two system calls per line of glibc's syslog (its
// getpid and its send) were a large share of a short connection's. The store is shared and
// kept under report_mx, and any line of another thread sends what is held before its own, so
// the records keep the order in which report was called, whichever thread called it.
static constexpr int HELD_LINES = 64;
// Room for the longest line with its syslog header, many times over.
static constexpr size_t HELD_BYTES = 64 * 1024;
static constexpr size_t HEADER_SZ = 512;

struct held_line {
    size_t at;   // the record, header included
    size_t body; // the text alone, for the fallback to syslog
    size_t len;
    int priority;
};

struct held_store {
    char text[HELD_BYTES];
    size_t used;
    held_line lines[HELD_LINES];
    int count;
    pid_t pid; // the holder's process, for the headers
};

static held_store held;
static thread_local bool holds_lines = false;
// What openlog was given, for the headers of held lines; glibc's own defaults until then.
static const char *log_identity = nullptr;
static int log_facility = LOG_USER;
static bool log_pid = false;
static int log_fd = -1;

static int priority_of(int level)
{
    int priority = 7 - level;
    if (priority < 0)
        priority = 0;
    if (priority > 7)
        priority = 7;
    return priority;
}

static void format_body(char *buf, size_t size, const char *function, const char *file, int line,
                        const char *format, va_list ap)
{
    int n = snprintf(buf, size, "%-*.*s:%s:%d:", NAME_WIDTH, NAME_WIDTH, function, file, line);
    if (n >= 0 && static_cast<size_t>(n) < size)
        vsnprintf(buf + n, size - static_cast<size_t>(n), format, ap);
}

// The record glibc's syslog would send: "<PRI>Mmm dd hh:mm:ss identity[pid]: text", the time
// local and the month's name in the C locale whatever the process's locale is.
static int format_header(char *out, size_t size, int priority, pid_t pid)
{
    static constexpr const char *MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm tm = {};
    localtime_r(&now, &tm);
    const char *identity = log_identity != nullptr ? log_identity : program_invocation_short_name;
    char tag[16] = "";
    if (log_pid)
        snprintf(tag, sizeof(tag), "[%d]", static_cast<int>(pid));
    return snprintf(out, size, "<%d>%s %2d %02d:%02d:%02d %s%s: ", priority | log_facility,
                    MONTHS[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, identity,
                    tag);
}

static int connect_log()
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    strcpy(sun.sun_path, _PATH_LOG);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int send_all_held()
{
    if (log_fd < 0)
        log_fd = connect_log();
    if (log_fd < 0)
        return 0;
    struct iovec iov[HELD_LINES];
    struct mmsghdr msgs[HELD_LINES] = {};
    for (int i = 0; i < held.count; i++) {
        iov[i] = {held.text + held.lines[i].at, held.lines[i].len};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int sent = 0;
    while (sent < held.count) {
        int n =
            sendmmsg(log_fd, msgs + sent, static_cast<unsigned>(held.count - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += n;
    }
    return sent;
}

// Held lines that could not be sent take glibc's way, which connects again to a receiver that
// restarted and, like every line when none listens, drops them.
static void flush_held()
{
    if (held.count == 0)
        return;
    int saved = errno;
    int sent = send_all_held();
    if (sent < held.count && log_fd >= 0) {
        close(log_fd);
        log_fd = -1;
    }
    for (int i = sent; i < held.count; i++)
        syslog(held.lines[i].priority, "%s", held.text + held.lines[i].body);
    held.count = 0;
    held.used = 0;
    errno = saved;
}

// A full store goes out at once rather than lose a line. False for a header that does not
// fit (an identity too long), whose line must take glibc's way.
static bool hold_line(int priority, const char *body)
{
    size_t len = strlen(body);
    if (held.count == HELD_LINES || held.used + HEADER_SZ + len + 1 > HELD_BYTES)
        flush_held();
    char *at = held.text + held.used;
    int n = format_header(at, HEADER_SZ, priority, held.pid);
    if (n < 0 || static_cast<size_t>(n) >= HEADER_SZ)
        return false;
    memcpy(at + n, body, len + 1);
    held.lines[held.count++] = {held.used, held.used + static_cast<size_t>(n),
                                static_cast<size_t>(n) + len, priority};
    held.used += static_cast<size_t>(n) + len + 1;
    return true;
}

static void syslog_line(int level, const char *function, const char *file, int line,
                        const char *format, va_list ap)
{
    char buf[SYSLOG_LINE_SZ];
    format_body(buf, sizeof(buf), function, file, line, format, ap);
    int priority = priority_of(level);
    // An error may be the last line before a crash: it goes out at once, after what is held.
    if (holds_lines && level < LVL_ERROR && hold_line(priority, buf))
        return;
    flush_held();
    syslog(priority, "%s", buf);
}

void vreport(int level, const char *function, const char *file, int line, const char *format,
             va_list ap)
{
    pthread_mutex_lock(&report_mx);
    if (level < min_spew_level) {
        pthread_mutex_unlock(&report_mx);
        return;
    }
    if (use_syslog) {
        va_list copy;
        va_copy(copy, ap);
        syslog_line(level, function, file, line, format, ap);
        if (mirror_stderr && level >= LVL_WARN) {
            print_header(stderr, level, function, file, line);
            vfprintf(stderr, format, copy);
        }
        va_end(copy);
    } else {
        print_header(stdout, level, function, file, line);
        vfprintf(stdout, format, ap);
    }
    pthread_mutex_unlock(&report_mx);
}

void report(int level, const char *function, const char *file, int line, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vreport(level, function, file, line, format, ap);
    va_end(ap);
}

// One record per line: a traditional syslog daemon would show an embedded newline as #012,
// and the first line alone is what operators search for.
static void syslog_fatal_lines(const char *text)
{
    for (const char *p = text; *p != '\0';) {
        const char *end = strchr(p, '\n');
        int n = static_cast<int>(end != nullptr ? end - p : static_cast<ptrdiff_t>(strlen(p)));
        if (n > 0)
            syslog(LOG_CRIT, "%.*s", n, p);
        p += n + (end != nullptr ? 1 : 0);
    }
}

// Fatal reports go out at crit, not emerg: journald sends emerg lines to every terminal, and
// a unit that restarts would repeat them there every few seconds.
[[noreturn]] static void vfatal(int status, const char *function, const char *file, int line,
                                const char *format, va_list ap)
{
    char text[FATAL_TEXT_SZ];
    vsnprintf(text, sizeof(text), format, ap);
    pthread_mutex_lock(&report_mx);
    if (use_syslog) {
        flush_held();
        syslog_fatal_lines(text);
        if (mirror_stderr) {
            print_header(stderr, LVL_FATAL, function, file, line);
            fputs(text, stderr);
        }
    } else {
        print_header(stderr, LVL_WARN, function, file, line);
        fputs(text, stderr);
    }
    // _exit skips the stdio flush, and the INFO lines that explain a fatal error are exactly
    // the ones still buffered when standard output is a pipe; keep them. Exit handlers still
    // do not run.
    fflush(stdout);
    pthread_mutex_unlock(&report_mx);
    _exit(status);
}

void report_error(const char *function, const char *file, int line, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vfatal(255, function, file, line, format, ap);
}

void report_fatal(int status, const char *function, const char *file, int line, const char *format,
                  ...)
{
    va_list ap;
    va_start(ap, format);
    vfatal(status, function, file, line, format, ap);
}

void report_set_min_level(int level)
{
    pthread_mutex_lock(&report_mx);
    min_spew_level = level;
    pthread_mutex_unlock(&report_mx);
}

int report_min_level()
{
    pthread_mutex_lock(&report_mx);
    int level = min_spew_level;
    pthread_mutex_unlock(&report_mx);
    return level;
}

void report_use_syslog()
{
    pthread_mutex_lock(&report_mx);
    use_syslog = 1;
    pthread_mutex_unlock(&report_mx);
}

void report_open_log(const char *identity)
{
    pthread_mutex_lock(&report_mx);
    flush_held();
    openlog(identity, LOG_PID, LOG_DAEMON);
    log_identity = identity;
    log_facility = LOG_DAEMON;
    log_pid = true;
    // Connected now, before the sandbox and before anyone counts the daemon's descriptors;
    // later only to replace a connection that failed.
    if (log_fd < 0)
        log_fd = connect_log();
    pthread_mutex_unlock(&report_mx);
}

void report_hold_lines()
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { atexit(report_flush); });
    // A getpid per line was half of glibc's cost. The daemon forks only before any thread
    // exists, so the holder's process stays the one it is now.
    pthread_mutex_lock(&report_mx);
    held.pid = getpid();
    pthread_mutex_unlock(&report_mx);
    holds_lines = true;
}

void report_flush()
{
    pthread_mutex_lock(&report_mx);
    flush_held();
    pthread_mutex_unlock(&report_mx);
}

// $JOURNAL_STREAM holds the device and inode of the stream that the service manager connected
// to the journal; the standard error is the journal when it is that very stream.
static bool stderr_is_journal()
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    if (stream == nullptr || sscanf(stream, "%llu:%llu", &dev, &ino) != 2 ||
        fstat(STDERR_FILENO, &st) != 0)
        return false;
    return st.st_dev == dev && st.st_ino == ino;
}

void report_mirror_startup()
{
    bool journal = stderr_is_journal();
    pthread_mutex_lock(&report_mx);
    mirror_stderr = !journal;
    pthread_mutex_unlock(&report_mx);
}

void report_startup_done()
{
    pthread_mutex_lock(&report_mx);
    mirror_stderr = 0;
    pthread_mutex_unlock(&report_mx);
}

void report_more()
{
    pthread_mutex_lock(&report_mx);
    if (min_spew_level > 0)
        min_spew_level--;
    pthread_mutex_unlock(&report_mx);
}

void report_less()
{
    pthread_mutex_lock(&report_mx);
    if (min_spew_level <= 6)
        min_spew_level++;
    pthread_mutex_unlock(&report_mx);
}

bool report_limit_pass(report_limit *limit, uint64_t now_ns, uint64_t interval_ns, uint64_t *held)
{
    if (limit->next_ns != 0 && now_ns < limit->next_ns) {
        limit->held++;
        return false;
    }
    *held = limit->held;
    limit->held = 0;
    limit->next_ns = now_ns + interval_ns;
    return true;
}

const char *report_escape(const char *text, size_t len, char *out, size_t size)
{
    static constexpr char HEX[] = "0123456789abcdef";
    size_t used = 0;
    for (size_t i = 0; i < len; i++) {
        auto c = static_cast<unsigned char>(text[i]);
        char unit[REPORT_ESCAPE_MAX];
        size_t n = 0;
        if (c == '\\') {
            unit[n++] = '\\';
            unit[n++] = '\\';
        } else if (c >= 0x20 && c < 0x7f) {
            unit[n++] = static_cast<char>(c);
        } else {
            unit[n++] = '\\';
            unit[n++] = 'x';
            unit[n++] = HEX[c >> 4];
            unit[n++] = HEX[c & 0xf];
        }
        if (used + n >= size)
            break;
        memcpy(out + used, unit, n);
        used += n;
    }
    if (size > 0)
        out[used] = '\0';
    return out;
}
