#include "sandbox.h"

#include <execinfo.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <ucontext.h>
#include <unistd.h>

#include <seccomp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "util.h"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define ZD_ON_VALGRIND() (RUNNING_ON_VALGRIND != 0)
#else
#define ZD_ON_VALGRIND() false
#endif

#if defined(__SANITIZE_ADDRESS__)
#define ZD_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZD_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define ZD_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZD_TSAN 1
#endif
#endif

static constexpr char THIS_FILE[] = "src/sandbox";

// What the daemon does once it is started: the worker's sockets and TLS sessions, the main
// thread's signal wait, logging to syslog (whose socket glibc may open again), the service
// manager's notifications, memory, threads' locks and clocks, and the way out: the shutdown, an
// assertion failure's backtrace and abort. Opening files, executing programs, tracing, new
// processes and threads, namespaces, mounts and capability changes are all refused. (glibc's
// sigqueue, which reports a refusal, asks for the caller's uid.) Signals and new sockets are
// allowed with argument checks only, below.
static constexpr const char *daemon_calls[] = {
    // descriptors and sockets
    "read",
    "write",
    "readv",
    "writev",
    "close",
    "fcntl",
    "sendto",
    "sendmsg",
    "sendmmsg",
    "recvfrom",
    "recvmsg",
    "connect",
    "bind",
    "accept4",
    "shutdown",
    "setsockopt",
    "getsockopt",
    "getsockname",
    "getpeername",
    "epoll_wait",
    "epoll_pwait",
    "epoll_pwait2",
    "epoll_ctl",
    // memory
    "mmap",
    "munmap",
    "mremap",
    "mprotect",
    "madvise",
    "brk",
    // locks, clocks and the identity of the caller; a thread that starts or ends registers
    // itself with the kernel
    "futex",
    "rseq",
    "set_robust_list",
    "sched_yield",
    "nanosleep",
    "clock_nanosleep",
    "clock_gettime",
    "clock_getres",
    "gettimeofday",
    "time",
    "getpid",
    "gettid",
    "getuid",
    "geteuid",
    "getgid",
    "getegid",
    "getrandom",
    "fstat",
    "newfstatat",
    // signals: the return from the refusal's handler (its report and abort are sent below)
    "rt_sigprocmask",
    "rt_sigreturn",
    "rt_sigaction",
    // the backtrace of an assertion failure names the executable
    "readlink",
    "readlinkat",
    // the end
    "exit",
    "exit_group",
    "restart_syscall",
};

// AddressSanitizer's reports read the process's maps, and its leak check at exit stops the
// world: a tracer thread made with clone attaches to every thread with ptrace and walks
// /proc/self/task.
[[maybe_unused]] static constexpr const char *asan_calls[] = {
    "openat",
    "open",
    "lseek",
    "getdents64",
    "getdents",
    "clone",
    "clone3",
    "ptrace",
    "wait4",
    "waitid",
    "prctl",
    "sigaltstack",
    "sched_getaffinity",
    "prlimit64",
    "getrlimit",
    "pipe2",
    "dup",
    "dup2",
    "dup3",
    "kill",
    "rt_sigtimedwait",
    "uname",
    "getppid",
    "setrlimit",
    "ioctl",
};

// The calls that send a signal. The daemon only ever signals itself: the refusal report goes to
// the process (sigqueue), abort and the thread library's own signals to one of its threads
// (tgkill with its own process id). A taken-over daemon must not reach any other process of its
// user, so the target is checked, except under a tool whose runtime may signal its helpers.
static constexpr const char *signal_calls[] = {"rt_sigqueueinfo", "tgkill", "tkill"};

// ThreadSanitizer's runtime thread and its reports.
[[maybe_unused]] static constexpr const char *tsan_calls[] = {
    "openat",    "open",      "lseek", "getdents64", "getdents", "sigaltstack", "sched_getaffinity",
    "prlimit64", "getrlimit", "pipe2", "uname",      "ioctl",    "prctl",
};

static bool on_valgrind()
{
    return ZD_ON_VALGRIND();
}

const char *sandbox_tool()
{
#if defined(ZD_ASAN)
    return "AddressSanitizer";
#elif defined(ZD_TSAN)
    return "ThreadSanitizer";
#else
    return on_valgrind() ? "valgrind" : "";
#endif
}

int sandbox_signal()
{
    return SIGRTMIN + 2;
}

// The refused call's result is EPERM, written into the interrupted thread's registers; the
// report goes by a queued signal, since nothing that logs is safe here. Only async-signal-safe
// calls, and only calls that the filter allows.
static void refused(int, siginfo_t *info, void *context)
{
    int saved = errno;
#if defined(__x86_64__)
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RAX] = -EPERM;
#elif defined(__aarch64__)
    static_cast<ucontext_t *>(context)->uc_mcontext.regs[0] = static_cast<uint64_t>(-EPERM);
#endif
    union sigval value;
    value.sival_int = info->si_syscall;
    sigqueue(getpid(), sandbox_signal(), value);
    errno = saved;
}

#if defined(__x86_64__) || defined(__aarch64__)
static constexpr uint32_t REFUSE = SCMP_ACT_TRAP;
#else
// No register to write the result into: the kernel refuses by itself, without a report.
static constexpr uint32_t REFUSE = SCMP_ACT_ERRNO(EPERM);
#endif

static int allow_names(scmp_filter_ctx ctx, const char *const *names, size_t count, int *allowed)
{
    for (size_t i = 0; i < count; i++) {
        int nr = seccomp_syscall_resolve_name(names[i]);
        // A call this architecture does not have (open on aarch64) needs no rule.
        if (nr == __NR_SCMP_ERROR || nr < 0)
            continue;
        int rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, nr, 0);
        if (rc < 0)
            return rc;
        (*allowed)++;
    }
    return 0;
}

template <size_t N>
static int allow(scmp_filter_ctx ctx, const char *const (&names)[N], int *allowed)
{
    return allow_names(ctx, names, N, allowed);
}

// Built field by field: clang refuses libseccomp's initializer macros under warnings as errors.
static scmp_arg_cmp arg_is(unsigned int arg, scmp_datum_t value)
{
    scmp_arg_cmp cmp{};
    cmp.arg = arg;
    cmp.op = SCMP_CMP_EQ;
    cmp.datum_a = value;
    return cmp;
}

static scmp_arg_cmp arg_masked_is(unsigned int arg, scmp_datum_t mask, scmp_datum_t value)
{
    scmp_arg_cmp cmp{};
    cmp.arg = arg;
    cmp.op = SCMP_CMP_MASKED_EQ;
    cmp.datum_a = mask;
    cmp.datum_b = value;
    return cmp;
}

// Every call of signal_calls takes the target process (or, for tkill, thread) as its first
// argument: only the daemon's own id passes. Its threads share it as their process id, and
// tkill with it reaches the main thread alone.
[[maybe_unused]] static int allow_own_signals(scmp_filter_ctx ctx, int *allowed)
{
    scmp_arg_cmp own = arg_is(0, static_cast<scmp_datum_t>(getpid()));
    for (const char *name : signal_calls) {
        int nr = seccomp_syscall_resolve_name(name);
        if (nr == __NR_SCMP_ERROR || nr < 0)
            continue;
        int rc = seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, nr, 1, &own);
        if (rc < 0)
            return rc;
        (*allowed)++;
    }
    return 0;
}

// The sockets the daemon makes once started: IPv6 TCP for the connections to the mount target
// (IPv4 peers come IPv4-mapped), local datagrams for syslog (whose socket glibc may open again)
// and the service manager. Nothing else: no raw or packet sockets, no local stream or
// sequenced sockets (privileged local services listen on those), no other protocol.
struct socket_kind {
    int family;
    int type;
};
static constexpr socket_kind daemon_sockets[] = {
    {AF_INET6, SOCK_STREAM},
    {AF_UNIX, SOCK_DGRAM},
};

static int allow_daemon_sockets(scmp_filter_ctx ctx, int *allowed)
{
    // The flags that may come with a type; any other bit fails the comparison.
    static constexpr scmp_datum_t TYPE_MASK =
        ~static_cast<scmp_datum_t>(SOCK_NONBLOCK | SOCK_CLOEXEC);
    for (const socket_kind &kind : daemon_sockets) {
        scmp_arg_cmp checks[3] = {
            arg_is(0, static_cast<scmp_datum_t>(kind.family)),
            arg_masked_is(1, TYPE_MASK, static_cast<scmp_datum_t>(kind.type)),
            arg_is(2, 0),
        };
        int rc = seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, SCMP_SYS(socket), 3, checks);
        if (rc < 0)
            return rc;
    }
    (*allowed)++;
    return 0;
}

// The loop asks how much a connection's kernel send queue still holds (SIOCOUTQ): a slow
// reader's progress, and whether a reset would throw bytes away. No other request.
static int allow_send_queue_ioctl(scmp_filter_ctx ctx, int *allowed)
{
    scmp_arg_cmp is_outq{};
    is_outq.arg = 1;
    is_outq.op = SCMP_CMP_EQ;
    is_outq.datum_a = static_cast<scmp_datum_t>(SIOCOUTQ);
    int rc = seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, &is_outq);
    if (rc == 0)
        (*allowed)++;
    return rc;
}

// The one file the daemon still opens is malloc's: the first time it trims a thread's heap it
// reads /proc/sys/vm/overcommit_memory, and without it keeps the heap's memory mapped, which is
// what it does with the usual setting anyway. That refusal is expected, so opening files is
// refused quietly (EACCES, no report); a tool that needs files allows them instead.
[[maybe_unused]] static int refuse_files_quietly(scmp_filter_ctx ctx)
{
    for (const char *name : {"open", "openat", "openat2"}) {
        int nr = seccomp_syscall_resolve_name(name);
        if (nr == __NR_SCMP_ERROR || nr < 0)
            continue;
        int rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), nr, 0);
        if (rc < 0)
            return rc;
    }
    return 0;
}

static int build_filter(scmp_filter_ctx ctx, int *allowed)
{
    int rc = seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 1);
    if (rc == 0)
        rc = seccomp_attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1);
    if (rc == 0)
        rc = allow(ctx, daemon_calls, allowed);
    if (rc == 0)
        rc = allow_daemon_sockets(ctx, allowed);
    if (rc == 0)
        rc = allow_send_queue_ioctl(ctx, allowed);
#if defined(ZD_ASAN) || defined(ZD_TSAN)
    if (rc == 0)
        rc = allow(ctx, signal_calls, allowed);
#else
    if (rc == 0)
        rc = allow_own_signals(ctx, allowed);
#endif
#if defined(ZD_ASAN)
    if (rc == 0)
        rc = allow(ctx, asan_calls, allowed);
#endif
#if defined(ZD_TSAN)
    if (rc == 0)
        rc = allow(ctx, tsan_calls, allowed);
#endif
#if !defined(ZD_ASAN) && !defined(ZD_TSAN)
    if (rc == 0)
        rc = refuse_files_quietly(ctx);
#endif
    return rc;
}

static int install_refusal_handler()
{
    struct sigaction sa = {};
    sa.sa_sigaction = refused;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGSYS, &sa, nullptr) == 0 ? 0 : -errno;
}

int sandbox_enter()
{
    // Valgrind does not run the seccomp system call (it answers ENOSYS), and every call of its
    // own would pass the filter too: under valgrind alone the daemon runs unconfined, and says
    // so.
    if (on_valgrind()) {
        REPORT(LVL_WARN,
               "sandbox not entered: valgrind does not support the seccomp system call\n");
        return 0;
    }
    // The first backtrace loads the unwinder's library, which needs files: do it while it may.
    void *frame[1];
    backtrace(frame, 1);
    scmp_filter_ctx ctx = seccomp_init(REFUSE);
    if (!ctx)
        return -ENOMEM;
    int allowed = 0;
    int rc = build_filter(ctx, &allowed);
    if (rc == 0)
        rc = install_refusal_handler();
    if (rc == 0)
        rc = seccomp_load(ctx);
    seccomp_release(ctx);
    if (rc < 0)
        return rc;
    const char *tool = sandbox_tool();
    REPORT(LVL_INFO, "sandbox entered: %d system calls allowed%s%s, for every thread\n", allowed,
           *tool ? " with those of " : "", tool);
    return 0;
}

const char *sandbox_syscall_name(int nr, char *buffer, size_t size)
{
    char *name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, nr);
    snprintf(buffer, size, "%s", name ? name : "?");
    free(name);
    return buffer;
}
