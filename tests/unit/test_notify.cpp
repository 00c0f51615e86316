// Service-manager notification: the datagram reaches the manager's socket under both address
// forms up to their longest, failures return -1 and are logged once per outage, and the
// watchdog period is taken only when it is meant for this process.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "log_capture.h"
#include "temp_dir.h"
#include "notify.h"
#include "util.h"

namespace
{

// The manager's end: bound to the name as $NOTIFY_SOCKET spells it.
class manager
{
  public:
    explicit manager(const std::string &name)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path, name.data(), name.size());
        if (name[0] == '@')
            sa.sun_path[0] = '\0';
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                               (name[0] == '/'));
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&sa), len) == 0;
        timeval tv{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~manager() { close(fd_); }
    bool bound() const { return bound_; }
    std::string receive() const
    {
        char buf[512];
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        return n < 0 ? "<nothing>" : std::string(buf, static_cast<size_t>(n));
    }

  private:
    int fd_;
    bool bound_ = false;
};

std::string name_of_length(const std::string &start, size_t length)
{
    std::string name = start;
    name.resize(length, 'n');
    return name;
}

TEST(Notify, DatagramReachesPathAndAbstractNamesUpToTheirLongest)
{
    temp_dir dir;
    constexpr size_t SUN_PATH = sizeof(sockaddr_un{}.sun_path);
    const std::string names[] = {
        dir.path("short"),
        name_of_length(dir.path("p"), SUN_PATH - 1), // the terminating zero fills sun_path
        "@zd-notify-" + std::to_string(getpid()),
        name_of_length("@zd-notify-" + std::to_string(getpid()) + "-", SUN_PATH),
    };
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        manager m(name);
        ASSERT_TRUE(m.bound());
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        EXPECT_EQ(0, notify_send("READY=1\nSTATUS=up"));
        EXPECT_EQ("READY=1\nSTATUS=up", m.receive());
    }
    unsetenv("NOTIFY_SOCKET");
}

TEST(Notify, NothingToSendWithoutManagerAndOneWarningPerOutage)
{
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(0, notify_send("READY=1"));
    setenv("NOTIFY_SOCKET", "", 1);
    EXPECT_EQ(0, notify_send("READY=1"));

    temp_dir dir;
    const std::string path = dir.path("manager");
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    std::string out = logcap::capture_stdout([] {
        EXPECT_EQ(-1, notify_send("WATCHDOG=1"));
        EXPECT_EQ(-1, notify_send("WATCHDOG=1"));
    });
    EXPECT_EQ(std::vector<std::string>{"Unable to notify the service manager at " + path +
                                       ": No such file or directory"},
              logcap::messages_at(logcap::parse_log(out), "WARN"));
    {
        // Back again: the next outage is reported anew.
        manager m(path);
        ASSERT_TRUE(m.bound());
        EXPECT_EQ(0, notify_send("WATCHDOG=1"));
    }
    unlink(path.c_str());
    out = logcap::capture_stdout([] { EXPECT_EQ(-1, notify_send("WATCHDOG=1")); });
    EXPECT_EQ(1u, logcap::messages_at(logcap::parse_log(out), "WARN").size()) << out;

    // Names that no datagram can reach: a relative path, a path without room for its zero.
    constexpr size_t SUN_PATH = sizeof(sockaddr_un{}.sun_path);
    for (const std::string &bad :
         {std::string("relative/sock"), std::string("@"), name_of_length("/tmp/", SUN_PATH)}) {
        setenv("NOTIFY_SOCKET", bad.c_str(), 1);
        logcap::capture_stdout([&] { EXPECT_EQ(-1, notify_send("READY=1")) << bad; });
    }
    unsetenv("NOTIFY_SOCKET");
}

TEST(Notify, WatchdogIntervalIsHalfThePeriodWhenMeantForThisProcess)
{
    const std::string self = std::to_string(getpid());
    struct row {
        const char *usec;
        const char *pid;
        uint64_t interval_ns;
    } rows[] = {
        {nullptr, nullptr, 0},
        {"2000000", nullptr, 1000000000},
        {"2000000", self.c_str(), 1000000000},
        {"2000000", "1", 0},
        {"2000000", "12x", 0},
        {"0", nullptr, 0},
        {"-5", nullptr, 0},
        {"20s", nullptr, 0},
        {"", nullptr, 0},
        {"18446744073709551615", nullptr, 0}, // too long to count in nanoseconds
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.usec ? r.usec : "(unset)") + " / " + (r.pid ? r.pid : "-"));
        r.usec ? setenv("WATCHDOG_USEC", r.usec, 1) : unsetenv("WATCHDOG_USEC");
        r.pid ? setenv("WATCHDOG_PID", r.pid, 1) : unsetenv("WATCHDOG_PID");
        EXPECT_EQ(r.interval_ns, notify_watchdog_interval());
    }
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
}

} // namespace
