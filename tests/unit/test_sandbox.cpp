// The sandbox, entered in a forked child so that the test process stays free: calls the daemon
// never makes are refused with EPERM and reported through the sandbox signal, in every thread,
// while the calls it needs still work.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"

namespace
{

// What the child found, sent to the parent in one write.
struct findings {
    int entered;
    int execve_refused;
    int ptrace_refused;
    int packet_socket_refused;
    int unshare_refused;
    int file_refused_quietly;
    int tcp_socket_works;
    int local_datagram_works;
    int own_signals_work;
    // Each bit a socket of sockets_refused that was refused, each of signals_refused likewise.
    unsigned sockets_refused;
    unsigned signals_refused;
    int reported_signal;
    int reported_call;
    int thread_execve_refused;
};

bool refused_with(long rc, int err)
{
    return rc == -1 && errno == err;
}

// What a taken-over daemon could reach with a socket: local stream and sequenced services,
// UDP, IPv4, another protocol; the daemon itself only makes IPv6 TCP and local datagrams.
struct socket_case {
    const char *name;
    int family, type, protocol;
} const refused_sockets[] = {
    {"AF_UNIX SOCK_STREAM", AF_UNIX, SOCK_STREAM, 0},
    {"AF_UNIX SOCK_SEQPACKET", AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0},
    {"AF_INET6 SOCK_DGRAM", AF_INET6, SOCK_DGRAM, 0},
    {"AF_INET6 SOCK_RAW", AF_INET6, SOCK_RAW, IPPROTO_ICMPV6},
    {"AF_INET SOCK_STREAM", AF_INET, SOCK_STREAM, 0},
    {"AF_INET6 SOCK_STREAM SCTP", AF_INET6, SOCK_STREAM, IPPROTO_SCTP},
    {"AF_NETLINK", AF_NETLINK, SOCK_RAW, 0},
};

// Signal 0 only checks that the target could be signalled, so a call that wrongly passes the
// filter still sends the test's own process nothing.
const char *const refused_signals[] = {"kill", "tgkill", "tkill", "rt_sigqueueinfo"};

long send_to_other(int which, pid_t other)
{
    siginfo_t info{};
    info.si_code = SI_QUEUE;
    info.si_pid = getpid();
    switch (which) {
    case 0:
        return kill(other, 0);
    case 1:
        return syscall(SYS_tgkill, other, other, 0);
    case 2:
        return syscall(SYS_tkill, other, 0);
    default:
        return syscall(SYS_rt_sigqueueinfo, other, 0, &info);
    }
}

// Runs in the child only: no gtest macros, the answer goes through the pipe.
[[noreturn]] void child(int to_parent, int from_parent)
{
    findings f{};
    pid_t parent = getppid();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sandbox_signal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int sigfd = signalfd(-1, &set, SFD_CLOEXEC);
    int go[2];
    if (pipe(go) != 0)
        _exit(2);
    // A thread that exists before the filter is loaded, as the daemon's worker does.
    std::thread other([&] {
        char c;
        if (read(go[0], &c, 1) == 1) {
            char *argv[] = {const_cast<char *>("/bin/true"), nullptr};
            f.thread_execve_refused = refused_with(execve("/bin/true", argv, environ), EPERM);
        }
    });
    f.entered = sandbox_enter() == 0;
    if (write(to_parent, &f.entered, sizeof(f.entered)) != sizeof(f.entered))
        _exit(2);
    char c;
    if (read(from_parent, &c, 1) != 1)
        _exit(2);

    char *argv[] = {const_cast<char *>("/bin/true"), nullptr};
    f.execve_refused = refused_with(execve("/bin/true", argv, environ), EPERM);
    struct signalfd_siginfo info {
    };
    if (read(sigfd, &info, sizeof(info)) == sizeof(info)) {
        f.reported_signal = static_cast<int>(info.ssi_signo);
        f.reported_call = info.ssi_int;
    }
    // Where a tool's runtime needs ptrace, the call would succeed and stop this child at its
    // next signal: it is made only where it must be refused.
    if (std::string(sandbox_tool()).empty())
        f.ptrace_refused = refused_with(ptrace(PTRACE_TRACEME, 0, nullptr, nullptr), EPERM);
    f.packet_socket_refused = refused_with(socket(AF_PACKET, SOCK_RAW, 0), EPERM);
    f.unshare_refused = refused_with(unshare(CLONE_NEWNET), EPERM);
    f.file_refused_quietly = refused_with(open("/etc/hostname", O_RDONLY), EACCES);
    int tcp = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    f.tcp_socket_works = tcp >= 0;
    close(tcp);
    int local = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    f.local_datagram_works = local >= 0;
    close(local);
    for (size_t i = 0; i < std::size(refused_sockets); i++) {
        const socket_case &c = refused_sockets[i];
        if (refused_with(socket(c.family, c.type, c.protocol), EPERM))
            f.sockets_refused |= 1u << i;
    }
    // Tools may signal their helpers: their builds leave the signal calls unchecked.
    if (std::string(sandbox_tool()).empty())
        for (size_t i = 0; i < std::size(refused_signals); i++)
            if (refused_with(send_to_other(static_cast<int>(i), parent), EPERM))
                f.signals_refused |= 1u << i;
    union sigval value {
    };
    f.own_signals_work = syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), 0) == 0 &&
                         sigqueue(getpid(), 0, value) == 0;
    if (write(go[1], "g", 1) != 1)
        _exit(2);
    other.join();
    if (write(to_parent, &f, sizeof(f)) != sizeof(f))
        _exit(2);
    _exit(0);
}

std::string status_field(const std::string &path, const std::string &name)
{
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) != 0)
            continue;
        size_t value = line.find_first_not_of(" \t", name.size() + 1);
        return value == std::string::npos ? "" : line.substr(value);
    }
    return "";
}

std::vector<std::string> tasks_of(pid_t pid)
{
    std::vector<std::string> tasks;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return tasks;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            tasks.push_back(dir + "/" + e->d_name + "/status");
    closedir(d);
    return tasks;
}

} // namespace

TEST(Sandbox, RefusesAndReportsWhatTheDaemonNeverDoesInEveryThread)
{
    int up[2], down[2];
    ASSERT_EQ(pipe(up), 0);
    ASSERT_EQ(pipe(down), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        child(up[1], down[0]);
    close(up[1]);
    close(down[0]);
    // Bounded: a child that hangs is killed after ten seconds.
    alarm(10);
    int entered = 0;
    ASSERT_EQ(read(up[0], &entered, sizeof(entered)), static_cast<ssize_t>(sizeof(entered)));
    EXPECT_EQ(entered, 1);
    std::vector<std::string> tasks = tasks_of(pid);
    EXPECT_EQ(tasks.size(), 2u) << "the child and its thread";
    for (const std::string &task : tasks) {
        EXPECT_EQ(status_field(task, "NoNewPrivs"), "1") << task;
        EXPECT_EQ(status_field(task, "Seccomp"), "2") << task;
    }
    ASSERT_EQ(write(down[1], "g", 1), 1);
    findings f{};
    ASSERT_EQ(read(up[0], &f, sizeof(f)), static_cast<ssize_t>(sizeof(f)));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    alarm(0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_TRUE(f.execve_refused);
    EXPECT_TRUE(f.thread_execve_refused) << "the thread that existed before is confined too";
    EXPECT_EQ(f.reported_signal, sandbox_signal());
    EXPECT_EQ(f.reported_call, SYS_execve);
    EXPECT_TRUE(f.packet_socket_refused) << "only IPv6 and local sockets";
    EXPECT_TRUE(f.unshare_refused);
    EXPECT_TRUE(f.tcp_socket_works);
    EXPECT_TRUE(f.local_datagram_works) << "syslog and the service manager";
    EXPECT_TRUE(f.own_signals_work) << "abort and the refusal report";
    for (size_t i = 0; i < std::size(refused_sockets); i++)
        EXPECT_TRUE(f.sockets_refused & (1u << i)) << refused_sockets[i].name;
    if (std::string(sandbox_tool()).empty()) {
        for (size_t i = 0; i < std::size(refused_signals); i++)
            EXPECT_TRUE(f.signals_refused & (1u << i))
                << refused_signals[i] << " to another process";
        EXPECT_TRUE(f.ptrace_refused);
        EXPECT_TRUE(f.file_refused_quietly);
    } else {
        // The leak check of AddressSanitizer traces the threads and reads /proc.
        std::printf("under %s: ptrace and files are allowed for the tool\n", sandbox_tool());
    }
    close(up[0]);
    close(down[1]);

    char name[64];
    EXPECT_STREQ(sandbox_syscall_name(SYS_execve, name, sizeof(name)), "execve");
}
