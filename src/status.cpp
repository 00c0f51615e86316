#include "status.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <sys/capability.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "report.h"
#include "setup-ssl-context.h"
#include "util.h"
#include "version.h"

static constexpr char THIS_FILE[] = "src/status";

// In the order the daemon opens its listeners.
static constexpr const char *SERVICE_NAMES[FORWARDER_PORTS] = {"rpcbind", "mount", "nfs", "nlm"};

static int writer_fd = -1;

// Written by the main thread, which reloads; read by the worker, which renders.
static pthread_mutex_t reload_mx = PTHREAD_MUTEX_INITIALIZER;
static int64_t reload_at_s;
static char reload_result[256];

void status_note_reload(int64_t at_s, const char *result)
{
    pthread_mutex_lock(&reload_mx);
    reload_at_s = at_s;
    snprintf(reload_result, sizeof(reload_result), "%s", result);
    pthread_mutex_unlock(&reload_mx);
}

bool status_path(const char *netns, char *path, size_t size)
{
    const char *chosen = getenv(STATUS_ENV);
    int n = chosen != nullptr ? snprintf(path, size, "%s", chosen)
                              : snprintf(path, size, "%s/%s/status.json", STATUS_DIR, netns);
    return n > 0 && static_cast<size_t>(n) < size;
}

// The path comes from the environment, which the service's settings file fills: escaped.
struct shown {
    char text[report_escape_size(PATH_MAX)];
};

static shown shown_path(const char *path)
{
    shown s;
    report_escape(path, strnlen(path, PATH_MAX), s.text, sizeof(s.text));
    return s;
}

// ---- rendering ----

// Appends to a fixed buffer; once something did not fit, the whole rendering is void.
struct text_out {
    char *text;
    size_t size;
    size_t len;
    bool overflow;
};

__attribute__((format(printf, 2, 3))) static void out(text_out *o, const char *format, ...)
{
    if (o->overflow)
        return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(o->text + o->len, o->size - o->len, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= o->size - o->len) {
        o->overflow = true;
        return;
    }
    o->len += static_cast<size_t>(n);
}

// A JSON string: a namespace name is the operator's and may hold any byte but '/' and NUL.
static void out_string(text_out *o, const char *s)
{
    out(o, "\"");
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        if (*p == '"' || *p == '\\')
            out(o, "\\%c", *p);
        else if (*p < 0x20 || *p == 0x7f)
            out(o, "\\u%04x", *p);
        else
            out(o, "%c", *p);
    }
    out(o, "\"");
}

static void out_time(text_out *o, int64_t unix_s)
{
    time_t t = static_cast<time_t>(unix_s);
    struct tm utc;
    char when[32];
    if (gmtime_r(&t, &utc) == nullptr ||
        strftime(when, sizeof(when), "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        when[0] = '\0';
    out(o, "\"%s\"", when);
}

static void out_port(text_out *o, const port_counters &p, const char *service)
{
    out(o,
        "{\"port\": %u, \"service\": \"%s\", \"accepted\": %" PRIu64
        ", \"refused_at_limit\": %" PRIu64 ", \"connect_failures\": %" PRIu64
        ", \"handshake_failures\": %" PRIu64 ", \"verification_failures\": %" PRIu64
        ", \"session_failures\": %" PRIu64 ", \"reset_pairs\": %" PRIu64
        ", \"live_pairs\": %" PRId64 ", \"bytes_up\": %" PRIu64 ", \"bytes_down\": %" PRIu64 "}",
        p.port, service, p.accepted, p.refused_at_limit, p.connect_failures, p.handshake_failures,
        p.verify_failures, p.session_failures, p.reset_pairs, p.live_pairs, p.bytes_up,
        p.bytes_down);
}

static void out_pair(text_out *o, const forwarder_ctx *ctx, const pair_record &r, uint64_t now_ns)
{
    char client[ENDPOINT_TEXT_SZ];
    out(o,
        "{\"client\": \"%s\", \"port\": %u, \"age_s\": %" PRIu64 ", \"bytes_up\": %" PRIu64
        ", \"bytes_down\": %" PRIu64 "}",
        ARGendpoint6(client, r.client), ctx->ports[r.port].port,
        now_ns > r.opened_ns ? (now_ns - r.opened_ns) / 1000000000 : 0, r.up, r.down);
}

size_t status_render(const forwarder_ctx *ctx, const config *config, int64_t started_s,
                     int64_t now_s, bool running, char *text, size_t size)
{
    text_out o{text, size, 0, false};
    char target[ENDPOINT_TEXT_SZ];
    out(&o, "{\"schema\": %d, \"version\": \"%s\", \"pid\": %d, \"state\": \"%s\", \"namespace\": ",
        STATUS_SCHEMA, ZD_VERSION, static_cast<int>(getpid()), running ? "running" : "stopped");
    out_string(&o, config->netns);
    out(&o, ", \"mount_target\": \"%s\", \"host_name_check\": %s, \"started\": ",
        ARGendpoint6(target, endpoint{config->target, config->nfs_ssl_port}),
        ssl_checks_host_name() ? "true" : "false");
    out_time(&o, started_s);
    out(&o, ", \"updated\": ");
    out_time(&o, now_s);
    pthread_mutex_lock(&reload_mx);
    if (reload_at_s != 0) {
        out(&o, ", \"last_reload\": {\"at\": ");
        out_time(&o, reload_at_s);
        out(&o, ", \"result\": ");
        out_string(&o, reload_result);
        out(&o, "}");
    }
    pthread_mutex_unlock(&reload_mx);
    char names[NAMES_TEXT_SZ + 32];
    ssl_expected_names(names, sizeof(names));
    out(&o, ", \"accepted_names\": ");
    out_string(&o, names);
    out(&o, ", \"target_not_after\": ");
    if (int64_t not_after = ssl_last_not_after(); not_after != 0)
        out_time(&o, not_after);
    else
        out(&o, "null");
    out(&o, ", \"live_pairs\": %" PRId64 ", \"ports\": [", ctx->npairs);
    for (int k = 0; k < FORWARDER_PORTS && ctx->ports[k].port != 0; k++) {
        out(&o, "%s\n  ", k > 0 ? "," : "");
        out_port(&o, ctx->ports[k], SERVICE_NAMES[k]);
    }
    out(&o, "],\n \"pairs\": [");
    uint64_t now_ns = static_cast<uint64_t>(tick());
    for (int64_t i = 0; i < ctx->npairs; i++) {
        out(&o, "%s\n  ", i > 0 ? "," : "");
        out_pair(&o, ctx, ctx->pairs[i].record, now_ns);
    }
    out(&o, "]}\n");
    return o.overflow ? 0 : o.len;
}

// A label value: backslash, double quote and newline escaped.
static void out_label(text_out *o, const char *s)
{
    out(o, "\"");
    for (const char *p = s; *p; p++) {
        if (*p == '\\' || *p == '"')
            out(o, "\\%c", *p);
        else if (*p == '\n')
            out(o, "\\n");
        else
            out(o, "%c", *p);
    }
    out(o, "\"");
}

static void out_metric_head(text_out *o, const char *name, const char *type, const char *help)
{
    out(o, "# HELP zarn_dwel_%s %s\n# TYPE zarn_dwel_%s %s\n", name, help, name, type);
}

// One sample: name{namespace="..."} value, or per port with its port and service.
static void out_sample(text_out *o, const char *name, const config *config, uint64_t value)
{
    out(o, "zarn_dwel_%s{namespace=", name);
    out_label(o, config->netns);
    out(o, "} %" PRIu64 "\n", value);
}

static void out_port_sample(text_out *o, const char *name, const config *config, int k,
                            uint16_t port, uint64_t value)
{
    out(o, "zarn_dwel_%s{namespace=", name);
    out_label(o, config->netns);
    out(o, ",port=\"%u\",service=\"%s\"} %" PRIu64 "\n", port, SERVICE_NAMES[k], value);
}

size_t status_render_metrics(const forwarder_ctx *ctx, const config *config, int64_t started_s,
                             int64_t now_s, char *text, size_t size)
{
    struct per_port {
        const char *name;
        const char *type;
        const char *help;
        uint64_t port_counters::*field;
    };
    static constexpr per_port COUNTERS[] = {
        {"accepted_total", "counter", "Client connections accepted.", &port_counters::accepted},
        {"refused_at_limit_total", "counter", "Clients closed at once: all pairs were live.",
         &port_counters::refused_at_limit},
        {"connect_failures_total", "counter", "Pairs whose TLS connection never came up.",
         &port_counters::connect_failures},
        {"handshake_failures_total", "counter", "Pairs whose TLS handshake failed.",
         &port_counters::handshake_failures},
        {"verification_failures_total", "counter", "Pairs whose server certificate was refused.",
         &port_counters::verify_failures},
        {"session_failures_total", "counter", "Pairs whose TLS session failed after its handshake.",
         &port_counters::session_failures},
        {"reset_pairs_total", "counter", "Pairs ended with a reset: something was not delivered.",
         &port_counters::reset_pairs},
        {"bytes_up_total", "counter", "Plaintext bytes delivered from clients to the mount target.",
         &port_counters::bytes_up},
        {"bytes_down_total", "counter",
         "Plaintext bytes delivered from the mount target to clients.", &port_counters::bytes_down},
    };
    text_out o{text, size, 0, false};
    for (const per_port &c : COUNTERS) {
        out_metric_head(&o, c.name, c.type, c.help);
        for (int k = 0; k < FORWARDER_PORTS && ctx->ports[k].port != 0; k++)
            out_port_sample(&o, c.name, config, k, ctx->ports[k].port, ctx->ports[k].*c.field);
    }
    out_metric_head(&o, "live_pairs", "gauge", "Pairs open now.");
    for (int k = 0; k < FORWARDER_PORTS && ctx->ports[k].port != 0; k++)
        out_port_sample(&o, "live_pairs", config, k, ctx->ports[k].port,
                        static_cast<uint64_t>(ctx->ports[k].live_pairs));
    out_metric_head(&o, "started_timestamp_seconds", "gauge", "When the daemon started.");
    out_sample(&o, "started_timestamp_seconds", config, static_cast<uint64_t>(started_s));
    out_metric_head(&o, "updated_timestamp_seconds", "gauge", "When this file was written.");
    out_sample(&o, "updated_timestamp_seconds", config, static_cast<uint64_t>(now_s));
    if (int64_t not_after = ssl_last_not_after(); not_after != 0) {
        out_metric_head(&o, "target_not_after_timestamp_seconds", "gauge",
                        "End of validity of the mount target's certificate as last verified.");
        out_sample(&o, "target_not_after_timestamp_seconds", config,
                   static_cast<uint64_t>(not_after));
    }
    pthread_mutex_lock(&reload_mx);
    if (reload_at_s != 0) {
        out_metric_head(&o, "last_reload_success", "gauge", "1 when the last reload worked.");
        out_sample(&o, "last_reload_success", config, strcmp(reload_result, "ok") == 0);
        out_metric_head(&o, "last_reload_timestamp_seconds", "gauge", "When the last reload was.");
        out_sample(&o, "last_reload_timestamp_seconds", config, static_cast<uint64_t>(reload_at_s));
    }
    pthread_mutex_unlock(&reload_mx);
    return o.overflow ? 0 : o.len;
}

// ---- the writer process ----

static int write_all(int fd, const char *text, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        text += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// Readers see the old file or the new one, never a part of either.
static int replace_file(const char *path, const char *temporary, const char *text, size_t len)
{
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -errno;
    // Monitoring reads it as another user, whatever umask the service runs with.
    int rc = fchmod(fd, 0644) == 0 ? write_all(fd, text, len) : -errno;
    if (close(fd) != 0 && rc == 0)
        rc = -errno;
    if (rc == 0 && rename(temporary, path) != 0)
        rc = -errno;
    if (rc != 0)
        unlink(temporary);
    return rc;
}

// The writer keeps nothing it could lend a compromised daemon: no capabilities, no way to
// gain any. It ends with the daemon's end of the socket, so signals meant for the service go
// to the daemon alone, which writes its last status before it leaves.
static void become_writer()
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE})
        signal(sig, SIG_IGN);
    prctl(PR_SET_NAME, "zd-status", 0, 0, 0);
    cap_t none = cap_init();
    if (none == nullptr || cap_set_proc(none) != 0)
        REPORT(LVL_WARN, "Status writer could not drop its capabilities: %s\n", strerror(errno));
    cap_free(none);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

// Each message is one file's new content behind a byte that says which file.
static constexpr char KIND_STATUS = 's';
static constexpr char KIND_METRICS = 'm';

struct written_file {
    const char *path;
    const char *what;
    char temporary[PATH_MAX];
    bool failing;
};

[[noreturn]] static void run_writer(int fd, const char *path, const char *metrics_path)
{
    become_writer();
    static char text[STATUS_TEXT_SZ + 1];
    static written_file files[2] = {{path, "status", "", false},
                                    {metrics_path, "metrics", "", false}};
    for (written_file &f : files)
        if (f.path != nullptr)
            snprintf(f.temporary, sizeof(f.temporary), "%s.tmp", f.path);
    for (;;) {
        ssize_t n = recv(fd, text, sizeof(text), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            _exit(0);
        written_file &f = files[text[0] == KIND_METRICS ? 1 : 0];
        if (f.path == nullptr || n < 2)
            continue;
        int rc = replace_file(f.path, f.temporary, text + 1, static_cast<size_t>(n - 1));
        // Said once per spell of failures, not every five seconds.
        if (rc != 0 && !f.failing)
            REPORT(LVL_WARN, "Unable to write the %s file %s: %s\n", f.what,
                   shown_path(f.path).text, strerror(-rc));
        f.failing = rc != 0;
    }
}

static int make_folder(const char *path)
{
    if (mkdir(path, 0755) == 0 || errno == EEXIST)
        return 0;
    int err = errno;
    REPORT(LVL_WARN, "No status file: unable to create %s: %s\n", shown_path(path).text,
           strerror(err));
    return -1;
}

// Outside a service manager nobody else makes the default folders.
static int make_default_folders(const char *path)
{
    size_t n = strlen(STATUS_DIR);
    if (strncmp(path, STATUS_DIR, n) != 0 || path[n] != '/')
        return 0;
    char folder[PATH_MAX];
    snprintf(folder, sizeof(folder), "%s", path);
    char *slash = strrchr(folder, '/');
    *slash = '\0';
    if (make_folder(STATUS_DIR) != 0)
        return -1;
    return slash - folder > static_cast<ptrdiff_t>(n) ? make_folder(folder) : 0;
}

int status_start(const char *path, const char *metrics_path)
{
    if (make_default_folders(path) != 0)
        return -1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        REPORT(LVL_WARN, "No status file: unable to start its writer: %s\n", strerror(errno));
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        REPORT(LVL_WARN, "No status file: unable to start its writer: %s\n", strerror(errno));
        close(sv[0]);
        close(sv[1]);
        return -1;
    }
    if (pid == 0) {
        close(sv[0]);
        run_writer(sv[1], path, metrics_path);
    }
    close(sv[1]);
    writer_fd = sv[0];
    REPORT(LVL_INFO, "Writing status to %s every %d seconds (writer pid %d)\n",
           shown_path(path).text, static_cast<int>(STATUS_INTERVAL_NS / 1000000000),
           static_cast<int>(pid));
    if (metrics_path != nullptr)
        REPORT(LVL_INFO, "Writing metrics to %s\n", shown_path(metrics_path).text);
    return 0;
}

static void publish(char kind, const char *text, size_t len)
{
    if (writer_fd < 0 || len == 0)
        return;
    struct iovec parts[2] = {{&kind, 1}, {const_cast<char *>(text), len}};
    struct msghdr m = {};
    m.msg_iov = parts;
    m.msg_iovlen = 2;
    (void)sendmsg(writer_fd, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void status_publish(const char *text, size_t len)
{
    publish(KIND_STATUS, text, len);
}

void status_publish_metrics(const char *text, size_t len)
{
    publish(KIND_METRICS, text, len);
}

void status_stop()
{
    if (writer_fd < 0)
        return;
    close(writer_fd);
    writer_fd = -1;
}
