#include "reload.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <sys/capability.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "report.h"
#include "util.h"

static constexpr char THIS_FILE[] = "src/reload";

// The names file is refused above 4095 bytes anyway; one byte more shows that it is too long.
static constexpr size_t NAMES_MAX = 4096;
static constexpr int FETCH_TIMEOUT_S = 10;

struct file_header {
    int32_t err;
    uint32_t len;
};

static int reader_fd = -1;

// ---- the reader process ----

static int write_all(int fd, const void *data, size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// A FIFO or a device would block the reader or never end; only a regular file is read, and
// only up to `max` bytes plus one, which tells the daemon it was too long.
static int read_file(const char *path, size_t max, char **data, size_t *len)
{
    *data = nullptr;
    *len = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno;
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (static_cast<size_t>(st.st_size) > max + 1)
        err = EFBIG;
    // Room for what fstat said and one byte more, which shows whether the file grew.
    size_t room = err == 0 ? static_cast<size_t>(st.st_size) + 1 : 0;
    if (err == 0) {
        *data = static_cast<char *>(xmalloc(room));
        while (*len < room) {
            ssize_t n = read(fd, *data + *len, room - *len);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                err = errno;
            if (n <= 0)
                break;
            *len += static_cast<size_t>(n);
        }
        // A file that grew while it was read is being written: the next reload takes it.
        if (err == 0 && *len == room)
            err = EAGAIN;
    }
    close(fd);
    return err;
}

static int send_file(int fd, const char *path, size_t max)
{
    char *data = nullptr;
    size_t len = 0;
    file_header h = {0, 0};
    if (path != nullptr)
        h.err = read_file(path, max, &data, &len);
    if (h.err == 0)
        h.len = static_cast<uint32_t>(len);
    int rc = write_all(fd, &h, sizeof(h));
    if (rc == 0 && h.len > 0)
        rc = write_all(fd, data, h.len);
    free(data);
    return rc;
}

// Landlock: the reader may read files in the folders of its two files and nothing else on any
// file system (the folders, not the files, so that a file replaced by a rename is read too).
// The access rights handled are all that the running kernel knows, by its ABI version.
static uint64_t landlock_fs_rights(int abi)
{
    uint64_t rights = (1ull << 13) - 1; // ABI 1: execute .. make_sym
    if (abi >= 2)
        rights |= 1ull << 13; // refer
    if (abi >= 3)
        rights |= 1ull << 14; // truncate
    if (abi >= 5)
        rights |= 1ull << 15; // ioctl_dev
    return rights;
}

static constexpr uint64_t LANDLOCK_READ_FILE = 1ull << 2;

static int allow_reading_beside(int ruleset, const char *path)
{
    if (path == nullptr)
        return 0;
    char folder[PATH_MAX];
    snprintf(folder, sizeof(folder), "%s", path);
    char *slash = strrchr(folder, '/');
    if (slash == nullptr)
        snprintf(folder, sizeof(folder), ".");
    else if (slash == folder)
        folder[1] = '\0';
    else
        *slash = '\0';
    int fd = open(folder, O_PATH | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0)
        return -errno;
    struct {
        uint64_t allowed_access;
        int32_t parent_fd;
    } __attribute__((packed)) rule = {LANDLOCK_READ_FILE, fd};
    int rc = static_cast<int>(syscall(SYS_landlock_add_rule, ruleset, 1, &rule, 0));
    rc = rc == 0 ? 0 : -errno;
    close(fd);
    return rc;
}

// 0 once confined; else a negative errno value, and the reader runs on without it.
static int confine_reader(const char *ca_file, const char *names_file)
{
    int abi = static_cast<int>(syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u));
    if (abi < 1)
        return -errno;
    struct {
        uint64_t handled_access_fs;
    } attr = {landlock_fs_rights(abi)};
    int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof(attr), 0));
    if (ruleset < 0)
        return -errno;
    int rc = allow_reading_beside(ruleset, ca_file);
    if (rc == 0)
        rc = allow_reading_beside(ruleset, names_file);
    if (rc == 0 && syscall(SYS_landlock_restrict_self, ruleset, 0) != 0)
        rc = -errno;
    close(ruleset);
    return rc;
}

// Like the status writer: no capabilities and no way to gain any, so that it can read no
// more than the daemon's user may; signals meant for the service go to the daemon alone, and
// it ends with the daemon's end of the socket.
[[noreturn]] static void run_reader(int fd, const char *ca_file, const char *names_file)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE})
        signal(sig, SIG_IGN);
    // Nothing of the daemon's but its own socket: not the status writer's, not the lock.
    if (fd > 3)
        close_range(3, static_cast<unsigned>(fd) - 1, 0);
    close_range(static_cast<unsigned>(fd) + 1, ~0u, 0);
    prctl(PR_SET_NAME, "zd-reader", 0, 0, 0);
    cap_t none = cap_init();
    if (none == nullptr || cap_set_proc(none) != 0)
        REPORT(LVL_WARN, "File reader could not drop its capabilities: %s\n", strerror(errno));
    cap_free(none);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    int rc = confine_reader(ca_file, names_file);
    if (rc != 0)
        REPORT(LVL_INFO, "File reader not confined to the folders of its files: %s\n",
               strerror(-rc));
    for (;;) {
        char request;
        ssize_t n = read(fd, &request, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            _exit(0);
        if (send_file(fd, ca_file, RELOAD_CA_MAX) != 0 || send_file(fd, names_file, NAMES_MAX) != 0)
            _exit(0);
    }
}

int reload_reader_start(const char *ca_file, const char *names_file)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        REPORT(LVL_WARN, "No reload: unable to start the file reader: %s\n", strerror(errno));
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        REPORT(LVL_WARN, "No reload: unable to start the file reader: %s\n", strerror(errno));
        close(sv[0]);
        close(sv[1]);
        return -1;
    }
    if (pid == 0) {
        close(sv[0]);
        run_reader(sv[1], ca_file, names_file);
    }
    close(sv[1]);
    // A reader stuck on a file (a hung network file system) must not hold the daemon's signal
    // handling for good.
    struct timeval limit = {.tv_sec = FETCH_TIMEOUT_S, .tv_usec = 0};
    (void)setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    reader_fd = sv[0];
    return 0;
}

static int read_all(int fd, void *data, size_t len)
{
    char *p = static_cast<char *>(data);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -(errno == EAGAIN ? ETIMEDOUT : errno);
        if (n == 0)
            return -EPIPE;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

static int receive_file(reload_file *file, size_t max)
{
    file_header h;
    int rc = read_all(reader_fd, &h, sizeof(h));
    if (rc != 0)
        return rc;
    if (h.len > max + 1)
        return -EPROTO;
    file->err = h.err;
    file->len = h.len;
    file->data = static_cast<char *>(xmalloc(h.len + 1));
    file->data[h.len] = '\0';
    return h.len > 0 ? read_all(reader_fd, file->data, h.len) : 0;
}

int reload_fetch(reload_files *out)
{
    memset(out, 0, sizeof(*out));
    if (reader_fd < 0)
        return -ENOTCONN;
    char request = 'r';
    if (write_all(reader_fd, &request, 1) != 0)
        return -EPIPE;
    int rc = receive_file(&out->ca, RELOAD_CA_MAX);
    if (rc == 0)
        rc = receive_file(&out->names, NAMES_MAX);
    // An answer that stopped halfway leaves the stream out of step: no later reload could
    // trust it.
    if (rc != 0) {
        close(reader_fd);
        reader_fd = -1;
    }
    return rc;
}

void reload_files_free(reload_files *files)
{
    free(files->ca.data);
    free(files->names.data);
    memset(files, 0, sizeof(*files));
}
