#include "report.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

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

static void syslog_line(int level, const char *function, const char *file, int line,
                        const char *format, va_list ap)
{
    char buf[SYSLOG_LINE_SZ];
    int n =
        snprintf(buf, sizeof(buf), "%-*.*s:%s:%d:", NAME_WIDTH, NAME_WIDTH, function, file, line);
    if (n >= 0 && n < SYSLOG_LINE_SZ)
        vsnprintf(buf + n, sizeof(buf) - static_cast<size_t>(n), format, ap);
    int priority = 7 - level;
    if (priority < 0)
        priority = 0;
    if (priority > 7)
        priority = 7;
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
    openlog(identity, LOG_PID, LOG_DAEMON);
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
