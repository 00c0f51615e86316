// Syslog mode: what reaches /dev/log, read back by a receiver of the test's own.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>
#include <string>

#include "log_capture.h"
#include "report.h"

namespace
{

constexpr char DEV_LOG[] = "/dev/log";
constexpr int TAKE_TRIES = 60; // one a second: other developers may hold /dev/log
constexpr int RECEIVE_TIMEOUT_MS = 3000;

struct datagram {
    int priority = -1; // the whole PRI: facility * 8 + severity
    std::string body;  // what follows "<PRI>timestamp ident: "
};

// Binds a unix datagram socket at /dev/log, and removes it again only if it is still the one
// this process created.
class Syslog : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        saved_level = report_min_level();
        for (int i = 0; i < TAKE_TRIES && fd < 0; i++) {
            if (i > 0)
                sleep(1);
            take_dev_log();
        }
        if (fd < 0)
            GTEST_SKIP() << DEV_LOG << " is held by another process; syslog tests skipped";
    }

    void TearDown() override
    {
        report_set_min_level(saved_level);
        if (fd < 0)
            return;
        struct stat st;
        if (lstat(DEV_LOG, &st) == 0 && st.st_ino == ino && st.st_dev == dev)
            unlink(DEV_LOG);
        close(fd);
        fd = -1;
    }

    // The credentials of each datagram tell this process's lines from those of anything else
    // that logs on the host at the same time.
    bool receive_from(pid_t sender, datagram *out)
    {
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long spent =
                (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            if (spent >= RECEIVE_TIMEOUT_MS)
                return false;
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(RECEIVE_TIMEOUT_MS - spent)) <= 0)
                return false;
            pid_t pid = -1;
            std::string text = receive_one(&pid);
            if (pid == sender)
                return parse(text, out);
        }
    }

    int fd = -1;
    int saved_level = LVL_INFO;

  private:
    void take_dev_log()
    {
        struct stat st;
        if (lstat(DEV_LOG, &st) == 0)
            return;
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(s, 0);
        int one = 1;
        ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_PASSCRED, &one, sizeof(one)), 0);
        int size = 1 << 20;
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        struct sockaddr_un sun = {};
        sun.sun_family = AF_UNIX;
        strcpy(sun.sun_path, DEV_LOG);
        if (bind(s, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0) {
            // Someone else bound it between the check and the bind.
            close(s);
            return;
        }
        ASSERT_EQ(lstat(DEV_LOG, &st), 0);
        ino = st.st_ino;
        dev = st.st_dev;
        fd = s;
    }

    std::string receive_one(pid_t *pid)
    {
        char buf[4096];
        char control[CMSG_SPACE(sizeof(struct ucred))];
        struct iovec iov = {buf, sizeof(buf)};
        struct msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n < 0)
            return "";
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                struct ucred cred;
                memcpy(&cred, CMSG_DATA(c), sizeof(cred));
                *pid = cred.pid;
            }
        }
        return std::string(buf, static_cast<size_t>(n));
    }

    // glibc writes "<PRI>Mmm dd hh:mm:ss ident: message"; without openlog the identity is the
    // program's short name and no pid is added.
    static bool parse(const std::string &text, datagram *out)
    {
        std::vector<std::string> g;
        if (!logcap::ere_match("<([0-9]+)>[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                               "([^:]*): (.*)",
                               text, &g))
            return false;
        if (g[1] != program_invocation_short_name)
            return false;
        out->priority = std::stoi(g[0]);
        out->body = g[2];
        return true;
    }

    ino_t ino = 0;
    dev_t dev = 0;
};

constexpr int LOG_USER_PRI = 8;

} // namespace

// Priority is 7 minus the level at the default user facility; the text carries the function in
// twelve columns, file and line, and none of the stream prefix.
TEST_F(Syslog, LevelsMapToPriorities)
{
    report_use_syslog();
    report_set_min_level(LVL_TRACE);
    report(LVL_TRACE, "receive_something", "src/event-loop", 812, "got %d bytes\n", 17);
    datagram d;
    ASSERT_TRUE(receive_from(getpid(), &d));
    EXPECT_EQ(d.priority, LOG_USER_PRI + 7);
    EXPECT_EQ(d.body, "receive_some:src/event-loop:812:got 17 bytes\n");

    report(LVL_ERROR, "f", "src/config", 3, "bad\n");
    ASSERT_TRUE(receive_from(getpid(), &d));
    EXPECT_EQ(d.priority, LOG_USER_PRI + 3);
    EXPECT_EQ(d.body, "f           :src/config:3:bad\n");

    for (int level = LVL_TRACE; level <= LVL_FATAL; level++) {
        report(level, "fn", "src/z", level, "level\n");
        ASSERT_TRUE(receive_from(getpid(), &d)) << "level " << level;
        EXPECT_EQ(d.priority, LOG_USER_PRI + 7 - level) << "level " << level;
    }
}

// The threshold holds in syslog mode too: the first line to arrive is the one that passes.
TEST_F(Syslog, ThresholdStillApplies)
{
    report_use_syslog();
    report_set_min_level(LVL_INFO);
    report(LVL_DEBUG, "fn", "src/z", 1, "hidden\n");
    report(LVL_INFO, "fn", "src/z", 2, "shown\n");
    datagram d;
    ASSERT_TRUE(receive_from(getpid(), &d));
    EXPECT_EQ(d.body, "fn          :src/z:2:shown\n");
}

// The whole text, prefix included, is cut to 1023 characters.
TEST_F(Syslog, LongMessageIsCut)
{
    report_use_syslog();
    report_set_min_level(LVL_INFO);
    std::string long_text(2000, 'm');
    report(LVL_INFO, "fn", "src/z", 1, "%s\n", long_text.c_str());
    datagram d;
    ASSERT_TRUE(receive_from(getpid(), &d));
    const std::string prefix = "fn          :src/z:1:";
    ASSERT_EQ(d.body.size(), 1023u);
    EXPECT_EQ(d.body, prefix + long_text.substr(0, 1023 - prefix.size()));
}

// report_error sends the bare message at crit and ends the process with status 255.
TEST_F(Syslog, ReportErrorIsCritWithoutPrefix)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        report_use_syslog();
        report_set_min_level(7);
        report_error("parse_arguments", "src/config", 7, "cannot %s\n", "start");
    }
    int status = 0;
    datagram d;
    bool got = receive_from(child, &d);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    ASSERT_TRUE(got);
    EXPECT_EQ(d.priority, LOG_USER_PRI + 2);
    EXPECT_EQ(d.body, "cannot start");
}

// A fatal report of several lines goes out as one crit record per line, the first alone being
// the line operators search for, and ends with its own status.
TEST_F(Syslog, FatalReportIsOneRecordPerLine)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        report_use_syslog();
        report_fatal(EXIT_CONFIGURATION, "absorb_cert", "src/setup-ssl-context", 9,
                     "Failed to load %s\n  %s: cause\n", "it", "/x");
    }
    int status = 0;
    datagram first, second;
    bool got = receive_from(child, &first) && receive_from(child, &second);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), EXIT_CONFIGURATION);
    ASSERT_TRUE(got);
    EXPECT_EQ(first.priority, LOG_USER_PRI + 2);
    EXPECT_EQ(first.body, "Failed to load it");
    EXPECT_EQ(second.priority, LOG_USER_PRI + 2);
    EXPECT_EQ(second.body, "  /x: cause");
}

namespace
{

// One step of a thread whose lines are held: 'l' a line at `level`, 'n' `level` lines at INFO
// numbered from 0, 'o' a line of another thread, 'g' a record of glibc's that bypasses the
// store (it shows what was still held when it was written), 'f' a flush, 'x' a fatal report
// with two lines, 'e' the process's exit.
struct held_step {
    char op;
    int level;
    const char *text;
};

struct held_case {
    const char *name;
    std::vector<held_step> steps;
    std::vector<std::pair<int, std::string>> expected; // severity and text, in order
    int status;
};

std::pair<int, std::string> held_at(int level, const char *text)
{
    return {7 - level, std::string("fn          :src/z:1:") + text};
}

const std::pair<int, std::string> mark = {LOG_DEBUG, "mark"};

void run_held_steps(const std::vector<held_step> &steps)
{
    report_use_syslog();
    report_set_min_level(LVL_TRACE);
    report_hold_lines();
    for (const held_step &s : steps) {
        switch (s.op) {
        case 'l':
            report(s.level, "fn", "src/z", 1, "%s", s.text);
            break;
        case 'n':
            for (int i = 0; i < s.level; i++)
                report(LVL_INFO, "fn", "src/z", 1, "%d", i);
            break;
        case 'o':
            std::thread([&s] { report(s.level, "fn", "src/z", 1, "%s", s.text); }).join();
            break;
        case 'g':
            syslog(LOG_DEBUG, "%s", s.text);
            break;
        case 'f':
            report_flush();
            break;
        case 'x':
            report_fatal(EXIT_CONFIGURATION, "fn", "src/z", 1, "%s\n  cause\n", s.text);
        case 'e':
            exit(0);
        }
    }
    _exit(1);
}

std::vector<std::pair<int, std::string>> numbered(int from, int to)
{
    std::vector<std::pair<int, std::string>> out;
    for (int i = from; i < to; i++)
        out.push_back(held_at(LVL_INFO, std::to_string(i).c_str()));
    return out;
}

std::vector<std::pair<int, std::string>>
joined(std::vector<std::vector<std::pair<int, std::string>>> parts)
{
    std::vector<std::pair<int, std::string>> out;
    for (auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace

// A thread that holds its lines sends them together, each with its own text and priority and in
// the order they were written, before anything written after them; nothing is dropped.
TEST_F(Syslog, HeldLinesKeepTextPriorityAndOrder)
{
    const std::vector<held_case> cases = {
        {"held until the flush, then in order with their priorities",
         {{'l', LVL_INFO, "a"},
          {'l', LVL_TRACE, "b"},
          {'l', LVL_WARN, "c"},
          {'g', 0, "mark"},
          {'f', 0, ""},
          {'e', 0, ""}},
         {mark, held_at(LVL_INFO, "a"), held_at(LVL_TRACE, "b"), held_at(LVL_WARN, "c")},
         0},
        {"an error goes out at once, after what was held",
         {{'l', LVL_DEBUG, "a"}, {'l', LVL_ERROR, "b"}, {'g', 0, "mark"}, {'e', 0, ""}},
         {held_at(LVL_DEBUG, "a"), held_at(LVL_ERROR, "b"), mark},
         0},
        {"another thread's line goes out after the held ones",
         {{'l', LVL_INFO, "a"},
          {'o', LVL_INFO, "b"},
          {'g', 0, "mark"},
          {'l', LVL_INFO, "c"},
          {'f', 0, ""},
          {'e', 0, ""}},
         {held_at(LVL_INFO, "a"), held_at(LVL_INFO, "b"), mark, held_at(LVL_INFO, "c")},
         0},
        {"a fatal report goes out after the held lines",
         {{'l', LVL_INFO, "a"}, {'l', LVL_DEBUG, "b"}, {'x', 0, "stop"}},
         {held_at(LVL_INFO, "a"),
          held_at(LVL_DEBUG, "b"),
          {LOG_CRIT, "stop"},
          {LOG_CRIT, "  cause"}},
         EXIT_CONFIGURATION},
        {"what is held at exit goes out",
         {{'l', LVL_INFO, "a"}, {'e', 0, ""}},
         {held_at(LVL_INFO, "a")},
         0},
        {"a full store goes out at once",
         {{'n', 70, ""}, {'g', 0, "mark"}, {'f', 0, ""}, {'e', 0, ""}},
         joined({numbered(0, 64), {mark}, numbered(64, 70)}),
         0},
    };
    for (const held_case &c : cases) {
        SCOPED_TRACE(c.name);
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            run_held_steps(c.steps);
        std::vector<std::pair<int, std::string>> got;
        datagram d;
        while (got.size() < c.expected.size() && receive_from(child, &d))
            got.emplace_back(d.priority - LOG_USER_PRI, d.body);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        EXPECT_EQ(got, c.expected);
    }
}
