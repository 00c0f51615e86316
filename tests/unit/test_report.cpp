// Stream-mode reporting: the exact line prefix, the threshold, fatal errors, assertion failures
// and the backtrace text.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "log_capture.h"
#include "report.h"
#include "util.h"

static constexpr char THIS_FILE[] = "tests/unit/test_report";

namespace
{

using logcap::capture_stdout;
using logcap::ere_match;
using logcap::ere_quote;
using logcap::line;
using logcap::parse_line;
using logcap::read_fd;
using logcap::split_lines;
using logcap::stdout_to_stderr;
using logcap::text_that;

std::string own_exe()
{
    char exe[256] = {};
    EXPECT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    return exe;
}

int own_tid()
{
    return static_cast<int>(syscall(SYS_gettid));
}

class Report : public ::testing::Test
{
  protected:
    void SetUp() override { saved_level = report_min_level(); }
    void TearDown() override { report_set_min_level(saved_level); }
    int saved_level = LVL_INFO;
};

using ReportDeathTest = Report;

} // namespace

// Every field of the prefix, for every level and for function names shorter than, as long as
// and longer than their twelve columns.
TEST_F(Report, LinePrefixForEveryLevel)
{
    struct prefix_case {
        int level;
        const char *function;
        const char *file;
        int lineno;
        const char *level_text;
        const char *column;
    } cases[] = {
        {LVL_INFO, "receive_something", "src/event-loop", 81, " INFO", "receive_some"},
        {LVL_TRACE, "f", "src/x", 1, "TRACE", "f           "},
        {LVL_WARN, "exactly_12ch", "src/y", 123456, " WARN", "exactly_12ch"},
        {LVL_DEBUG, "fn", "src/z", 2, "DEBUG", "fn          "},
        {LVL_ERROR, "fn", "src/z", 4, "ERROR", "fn          "},
        {LVL_BUG, "fn", "src/z", 5, "  BUG", "fn          "},
        {LVL_FATAL, "fn", "src/z", 6, "FATAL", "fn          "},
    };
    report_set_min_level(LVL_TRACE);
    time_t before = time(nullptr);
    std::string out = capture_stdout([&] {
        for (const prefix_case &c : cases)
            report(c.level, c.function, c.file, c.lineno, "a %s b %d\n", c.level_text, c.lineno);
    });
    time_t after = time(nullptr);
    std::vector<std::string> lines = split_lines(out);
    ASSERT_EQ(lines.size(), std::size(cases)) << out;
    for (size_t i = 0; i < lines.size(); i++) {
        const prefix_case &c = cases[i];
        line l;
        ASSERT_TRUE(parse_line(lines[i], &l)) << lines[i];
        EXPECT_EQ(l.level, c.level_text);
        EXPECT_EQ(l.pid, std::to_string(getpid()));
        EXPECT_EQ(l.tid, std::to_string(own_tid()));
        EXPECT_EQ(l.function, c.column);
        EXPECT_EQ(l.file, c.file);
        EXPECT_EQ(l.lineno, std::to_string(c.lineno));
        EXPECT_EQ(l.message, "a " + std::string(c.level_text) + " b " + std::to_string(c.lineno));
        // The stamp is UTC wall-clock time of the moment of writing.
        struct tm tm = {};
        ASSERT_NE(strptime(l.date.c_str(), "%Y-%m-%dT%H-%M-%S", &tm), nullptr);
        time_t stamp = timegm(&tm);
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, after);
    }
}

// The format carries its own newline: report neither adds one nor needs one.
TEST_F(Report, MessageIsWrittenVerbatim)
{
    std::string out = capture_stdout([] {
        report(LVL_INFO, "fn", "src/z", 1, "no newline");
        report(LVL_INFO, "fn", "src/z", 2, "-then-%s\n", "rest");
    });
    std::vector<std::string> lines = split_lines(out);
    ASSERT_EQ(lines.size(), 1u) << out;
    EXPECT_NE(lines[0].find(":src/z:1:no newline"), std::string::npos) << out;
    EXPECT_NE(lines[0].find(":src/z:2:-then-rest"), std::string::npos) << out;
}

TEST_F(Report, MacroPassesCallSite)
{
    int here = 0;
    std::string out = capture_stdout([&here] {
        here = __LINE__ + 1;
        REPORT(LVL_INFO, "via macro %d\n", 1);
    });
    line l;
    ASSERT_TRUE(parse_line(split_lines(out).at(0), &l)) << out;
    EXPECT_EQ(l.function, "operator()  ");
    EXPECT_EQ(l.file, "tests/unit/test_report");
    EXPECT_EQ(l.lineno, std::to_string(here));
}

// Just after a second begins the microseconds need leading zeros; a few tries allow for a late
// wake-up.
TEST_F(Report, LeadingZerosOfMicroseconds)
{
    line l;
    for (int attempt = 0; attempt < 5; attempt++) {
        struct timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        long wait_ns = 1000000000 - now.tv_nsec + 2000;
        struct timespec pause = {wait_ns / 1000000000, wait_ns % 1000000000};
        nanosleep(&pause, nullptr);
        std::string out = capture_stdout([] { report(LVL_INFO, "fn", "src/z", 1, "zeros\n"); });
        ASSERT_TRUE(parse_line(split_lines(out).at(0), &l)) << out;
        if (std::stol(l.micros) < 100000)
            break;
    }
    ASSERT_LT(std::stol(l.micros), 100000) << "never woke early in a second";
    EXPECT_EQ(l.micros.size(), 6u);
    EXPECT_EQ(l.micros[0], '0');
}

TEST_F(Report, ThreadIdOfTheWritingThread)
{
    struct result {
        std::string out;
        int tid;
    } r;
    r.out = capture_stdout([&r] {
        pthread_t t;
        auto body = [](void *arg) -> void * {
            auto *res = static_cast<result *>(arg);
            res->tid = static_cast<int>(syscall(SYS_gettid));
            report(LVL_INFO, "worker", "src/z", 1, "from thread\n");
            return nullptr;
        };
        ASSERT_EQ(pthread_create(&t, nullptr, body, &r), 0);
        pthread_join(t, nullptr);
    });
    line l;
    ASSERT_TRUE(parse_line(split_lines(r.out).at(0), &l)) << r.out;
    EXPECT_EQ(l.pid, std::to_string(getpid()));
    EXPECT_EQ(l.tid, std::to_string(r.tid));
    EXPECT_NE(l.tid, l.pid);
}

// Lines written at once from several threads never interleave.
TEST_F(Report, ConcurrentLinesStayWhole)
{
    constexpr int THREADS = 4;
    constexpr int LINES = 200;
    std::string out = capture_stdout([] {
        pthread_t t[THREADS];
        auto body = [](void *) -> void * {
            for (int i = 0; i < LINES; i++)
                report(LVL_INFO, "writer", "src/z", i, "%s %d\n",
                       "a message long enough to be written in several pieces", i);
            return nullptr;
        };
        for (auto &th : t)
            ASSERT_EQ(pthread_create(&th, nullptr, body, nullptr), 0);
        for (auto &th : t)
            pthread_join(th, nullptr);
    });
    std::vector<std::string> lines = split_lines(out);
    ASSERT_EQ(lines.size(), static_cast<size_t>(THREADS * LINES));
    for (const std::string &text : lines) {
        line l;
        ASSERT_TRUE(parse_line(text, &l)) << text;
        EXPECT_EQ(l.message, "a message long enough to be written in several pieces " + l.lineno);
    }
}

TEST_F(Report, ThresholdFiltersBelowIt)
{
    report_set_min_level(LVL_INFO);
    std::string out = capture_stdout([] {
        report(LVL_DEBUG, "fn", "src/z", 1, "hidden\n");
        report(LVL_INFO, "fn", "src/z", 2, "shown\n");
    });
    ASSERT_EQ(split_lines(out).size(), 1u) << out;
    EXPECT_NE(out.find("shown"), std::string::npos);

    // One step less verbose from the start value hides INFO and still shows WARN.
    report_less();
    EXPECT_EQ(report_min_level(), LVL_WARN);
    out = capture_stdout([] {
        report(LVL_INFO, "fn", "src/z", 1, "hidden\n");
        report(LVL_WARN, "fn", "src/z", 2, "shown\n");
    });
    ASSERT_EQ(split_lines(out).size(), 1u) << out;
    EXPECT_NE(out.find(" WARN "), std::string::npos);
}

// A suppressed message is not formatted at all: an argument that would crash the formatting
// must pass unread.
TEST_F(Report, SuppressedMessageIsNotFormatted)
{
    report_set_min_level(LVL_INFO);
    const char *poison = reinterpret_cast<const char *>(8);
    std::string out =
        capture_stdout([poison] { report(LVL_TRACE, "fn", "src/z", 1, "%s\n", poison); });
    EXPECT_EQ(out, "");
}

TEST_F(Report, ThresholdStaysWithinZeroAndSeven)
{
    report_set_min_level(LVL_TRACE);
    report_more();
    EXPECT_EQ(report_min_level(), 0);

    for (int i = 1; i <= 7; i++) {
        report_less();
        EXPECT_EQ(report_min_level(), i);
    }
    report_less();
    EXPECT_EQ(report_min_level(), 7);

    // Seven suppresses every level, FATAL included.
    std::string out = capture_stdout([] {
        for (int level = LVL_TRACE; level <= LVL_FATAL; level++)
            report(level, "fn", "src/z", 1, "hidden\n");
    });
    EXPECT_EQ(out, "");

    for (int i = 6; i >= 0; i--) {
        report_more();
        EXPECT_EQ(report_min_level(), i);
    }
    // The calls left the lock free: this report on the same thread proceeds.
    out = capture_stdout([] { report(LVL_TRACE, "fn", "src/z", 1, "back\n"); });
    EXPECT_EQ(split_lines(out).size(), 1u);
}

// No caller uses levels outside 0 to 6; such a level must still give a whole line and never read
// past the name table.
TEST_F(Report, LevelOutsideTableStaysInBounds)
{
    report_set_min_level(LVL_TRACE);
    std::string out = capture_stdout([] {
        report(7, "fn", "src/z", 1, "seven\n");
        report(INT_MAX, "fn", "src/z", 2, "max\n");
    });
    std::vector<std::string> lines = split_lines(out);
    ASSERT_EQ(lines.size(), 2u) << out;
    for (const std::string &text : lines) {
        line l;
        EXPECT_TRUE(parse_line(text, &l)) << text;
    }
}

TEST_F(ReportDeathTest, ReportErrorExits255WithWarnOnStderr)
{
    // The threshold is not consulted.
    EXPECT_EXIT(
        {
            report_set_min_level(7);
            report_error("parse_arguments", "src/config", 99, "bad %s\n", "thing");
        },
        ::testing::ExitedWithCode(255),
        text_that("one WARN line naming parse_arguments", [](const std::string &err) {
            line l;
            std::vector<std::string> lines = split_lines(err);
            return lines.size() == 1 && parse_line(lines[0], &l) && l.level == " WARN" &&
                   l.function == "parse_argume" && l.file == "src/config" && l.lineno == "99" &&
                   l.message == "bad thing";
        }));
}

// The INFO lines that explain a fatal error are the ones still buffered when standard output
// is a pipe or a file; the fatal path flushes them before it exits.
TEST_F(ReportDeathTest, ReportErrorKeepsBufferedStdout)
{
    FILE *tmp = tmpfile();
    ASSERT_NE(tmp, nullptr);
    int fd = fileno(tmp);
    fflush(stdout);
    EXPECT_EXIT(
        {
            dup2(fd, 1);
            setvbuf(stdout, nullptr, _IOFBF, 4096);
            report(LVL_INFO, "fn", "src/z", 1, "buffered\n");
            report_error("fn", "src/z", 2, "fatal\n");
        },
        ::testing::ExitedWithCode(255), "fatal");
    EXPECT_NE(read_fd(fd).find("buffered"), std::string::npos);
    fclose(tmp);
}

// Three ERROR lines at the failing site, then SIGABRT.
TEST_F(ReportDeathTest, AssertionFailureLogsThreeLinesAndAborts)
{
    static const std::string exe = own_exe();
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            errno = ENOENT;
            assert_failure("evl_connect1", "src/event-loop", 321, "fd >= 0");
        },
        ::testing::KilledBySignal(SIGABRT),
        logcap::assertion_lines("evl_connect1", "src/event-loop", "321", "fd >= 0", ENOENT,
                                [](const std::string &trace) {
                                    return ere_match("Backtrace: addr2line -fe " + ere_quote(exe) +
                                                         " 0x[0-9a-f]{14}( 0x[0-9a-f]{14})*",
                                                     trace);
                                }));
}

// Above ERROR the three lines are hidden, but the process still aborts.
TEST_F(ReportDeathTest, AssertionFailureSilentAboveError)
{
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            report_set_min_level(LVL_BUG);
            ZD_ASSERT(getpid() == 0);
        },
        ::testing::KilledBySignal(SIGABRT), "");
}

// The site's own function, file, line and source text reach the lines through ZD_ASSERT.
static void failing_site()
{
    ZD_ASSERT(getpid() == 0);
}
static constexpr int FAILING_SITE_LINE = __LINE__ - 2;

TEST_F(ReportDeathTest, AssertMacroNamesItsSite)
{
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            failing_site();
        },
        ::testing::KilledBySignal(SIGABRT),
        text_that("a failure line naming failing_site", [](const std::string &err) {
            line l;
            return parse_line(split_lines(err).at(0), &l) && l.function == "failing_site" &&
                   l.file == "tests/unit/test_report" &&
                   l.lineno == std::to_string(FAILING_SITE_LINE) &&
                   l.message == "Failed assertion: getpid() == 0";
        }));
}

// The first offset of an assertion's backtrace is inside assert_failure itself, given as an
// offset into the executable, so the command line really resolves to it.
TEST_F(ReportDeathTest, BacktraceResolvesToAssertFailure)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer interposes backtrace and adds a frame of its own";
#endif
    if (system("command -v addr2line >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "addr2line is not installed";
    FILE *tmp = tmpfile();
    ASSERT_NE(tmp, nullptr);
    int fd = fileno(tmp);
    EXPECT_EXIT(
        {
            setvbuf(stdout, nullptr, _IONBF, 0);
            dup2(fd, 1);
            assert_failure("fn", "src/z", 1, "x");
        },
        ::testing::KilledBySignal(SIGABRT), "");
    std::string out = read_fd(fd);
    fclose(tmp);
    size_t at = out.find("Backtrace: ");
    ASSERT_NE(at, std::string::npos) << out;
    std::string command = out.substr(at + strlen("Backtrace: "));
    command = command.substr(0, command.find('\n'));
    // Keep the program and the first offset only, and ask for demangled names.
    std::vector<std::string> m;
    ASSERT_TRUE(ere_match("addr2line -fe ([^ ]+) (0x[0-9a-f]+)( .*)?", command, &m)) << command;
    std::string run = "addr2line -Cfe " + m[0] + " " + m[1];
    FILE *p = popen(run.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char name[512] = {};
    ASSERT_NE(fgets(name, sizeof(name), p), nullptr);
    pclose(p);
    EXPECT_EQ(std::string(name).substr(0, strlen("assert_failure")), "assert_failure") << name;
}

TEST(Backtrace, SkipNotSmallerThanFramesWritesNothing)
{
    char buffer[256];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(sprint_backtrace(buffer, sizeof(buffer), 64), 0);
    EXPECT_EQ(sprint_backtrace(buffer, sizeof(buffer), SIZE_MAX), 0);
    for (char c : buffer)
        ASSERT_EQ(c, 'x');
}

TEST(Backtrace, CommandLineShape)
{
    char buffer[1024] = {};
    long n = sprint_backtrace(buffer, sizeof(buffer), 0);
    EXPECT_EQ(n, static_cast<long>(strlen(buffer)));
    const std::string shape =
        "addr2line -fe " + ere_quote(own_exe()) + " 0x[0-9a-f]{14}( 0x[0-9a-f]{14})+";
    EXPECT_TRUE(ere_match(shape, buffer)) << buffer;
}

// However small the buffer, the text stays inside it, terminated, and the result counts what is
// there.
TEST(Backtrace, SmallBufferIsNeverOverrun)
{
    constexpr size_t GUARD = 64;
    for (size_t size : {0, 1, 2, 15, 16, 17, 40, 100}) {
        char area[GUARD + 100 + GUARD];
        memset(area, 'g', sizeof(area));
        char *buffer = area + GUARD;
        memset(buffer, 0, size);
        long n = sprint_backtrace(buffer, size, 0);
        for (size_t i = 0; i < GUARD; i++) {
            ASSERT_EQ(area[i], 'g') << "size " << size;
            ASSERT_EQ(buffer[size + i], 'g') << "size " << size;
        }
        if (size == 0) {
            EXPECT_EQ(n, 0);
            continue;
        }
        EXPECT_LT(n, static_cast<long>(size));
        EXPECT_EQ(static_cast<size_t>(n), strnlen(buffer, size)) << "size " << size;
        const std::string head = "addr2line -fe " + own_exe() + " 0x";
        size_t shown = std::min(static_cast<size_t>(n), head.size());
        EXPECT_EQ(std::string(buffer, shown), head.substr(0, shown)) << "size " << size;
    }
}

// Without /proc the executable's path is unknown and the text says why instead.
TEST(BacktraceDeathTest, UnreadableExecutableLink)
{
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                umount2("/proc", MNT_DETACH) != 0) {
                fprintf(stderr, "no mount namespace\n");
                _exit(3);
            }
            char buffer[128] = {};
            long n = sprint_backtrace(buffer, sizeof(buffer), 0);
            fprintf(stderr, "%ld:%s\n", n, buffer);
            _exit(0);
        },
        [](int status) {
            return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3);
        },
        text_that("the readlink failure text, or no namespace", [](const std::string &err) {
            const std::string text = "Failed to get my own binary: No such file or directory";
            return err == "no mount namespace\n" ||
                   err == std::to_string(text.size()) + ":" + text + "\n";
        }));
}

// Text from a peer or a file becomes one printable line: the bytes that could end a line, hide
// one or drive a terminal are written as escapes, and the result is cut at a whole escape.
TEST(ReportEscape, PrintableBytesStayEverythingElseIsEscaped)
{
    struct {
        std::string in;
        size_t size;
        std::string out;
    } cases[] = {
        {"nfs.example.com", 64, "nfs.example.com"},
        {"", 8, ""},
        {"a\nb\rc", 64, "a\\x0ab\\x0dc"},
        {std::string("a\0b", 3), 64, "a\\x00b"},
        {"\x1b[2J\x7f\xff", 64, "\\x1b[2J\\x7f\\xff"},
        {"back\\slash", 64, "back\\\\slash"},
        {"<13>Dec  9 host forged: %s %n", 64, "<13>Dec  9 host forged: %s %n"},
        // Cut at a whole escape: "ab\x0a" needs 6 bytes and the terminator.
        {"ab\ncd", 6, "ab"},
        {"ab\ncd", 7, "ab\\x0a"},
        {"ab\ncd", 8, "ab\\x0ac"},
        {"a\\b", 3, "a"},
        {"abc", 1, ""},
    };
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.in);
        std::vector<char> out(tc.size, '#');
        EXPECT_EQ(report_escape(tc.in.data(), tc.in.size(), out.data(), out.size()), out.data());
        EXPECT_EQ(std::string(out.data()), tc.out);
    }
    // Nothing is written into an empty buffer.
    char none = '#';
    report_escape("abc", 3, &none, 0);
    EXPECT_EQ(none, '#');
}
