#include "util.h"

#include <arpa/inet.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/capability.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <json-c/json.h>

#include <cstdio>

static constexpr char THIS_FILE[] = "src/util";

// ---- assertion failures and backtraces ----

struct loaded_object {
    uint64_t base;
    uint64_t end;
};

static constexpr size_t MAX_OBJECTS = 64;
static constexpr int MAX_FRAMES = 64;
static pthread_mutex_t mx = PTHREAD_MUTEX_INITIALIZER;
static loaded_object objects[MAX_OBJECTS];
static uint64_t next_object;

void assert_failure(const char *function, const char *file, int line, const char *expression)
{
    int saved = errno;
    report(LVL_ERROR, function, file, line, "Failed assertion: %s\n", expression);
    report(LVL_ERROR, function, file, line, "Errno: %d - %s\n", saved, strerror(saved));
    char buffer[1024];
    memset(buffer, 0, sizeof(buffer));
    sprint_backtrace(buffer, sizeof(buffer), 1);
    report(LVL_ERROR, function, file, line, "Backtrace: %s\n", buffer);
    // abort does not flush stdio: without this the three lines vanish whenever standard
    // output is not a terminal.
    fflush(stdout);
    abort();
}

// Objects past the table's end are ignored: the iteration goes on, nothing more is recorded.
static int callback(struct dl_phdr_info *info, size_t, void *)
{
    if (next_object >= MAX_OBJECTS)
        return 0;
    loaded_object *o = &objects[next_object];
    o->base = info->dlpi_addr;
    o->end = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD && ph->p_type != PT_DYNAMIC && ph->p_type != PT_INTERP)
            continue;
        uint64_t candidate = o->base + ph->p_vaddr + ph->p_memsz;
        if (o->end < candidate)
            o->end = candidate;
    }
    next_object++;
    return 0;
}

static const loaded_object *object_of(uint64_t address)
{
    for (uint64_t i = 0; i < next_object; i++)
        if (objects[i].base <= address && address < objects[i].end)
            return &objects[i];
    return nullptr;
}

// Appends with a length limit; once the buffer is full, later frames are dropped.
__attribute__((format(printf, 4, 5))) static void append(char *buffer, size_t size, size_t *len,
                                                         const char *format, ...)
{
    if (*len + 1 >= size)
        return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buffer + *len, size - *len, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t room = size - *len - 1;
    *len += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
}

long sprint_backtrace(char *buffer, size_t size, size_t skip)
{
    pthread_mutex_lock(&mx);
    next_object = 0;
    dl_iterate_phdr(callback, nullptr);

    char exe[256];
    memset(exe, 0, sizeof(exe));
    if (readlink("/proc/self/exe", exe, sizeof(exe) - 1) < 0) {
        int n = snprintf(buffer, size, "Failed to get my own binary: %s", strerror(errno));
        pthread_mutex_unlock(&mx);
        return n;
    }

    void *frames[MAX_FRAMES];
    int nframes = backtrace(frames, MAX_FRAMES);

    char first_format[512];
    char next_format[16];
    snprintf(first_format, sizeof(first_format), "addr2line -fe %s %%#0%02zulx", exe,
             static_cast<size_t>(16));
    snprintf(next_format, sizeof(next_format), " %%#0%02zulx", static_cast<size_t>(16));

    if (nframes < 0 || static_cast<size_t>(nframes) <= skip) {
        pthread_mutex_unlock(&mx);
        return 0;
    }
    size_t len = strnlen(buffer, size);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    for (size_t i = skip; i < static_cast<size_t>(nframes); i++) {
        uint64_t address = reinterpret_cast<uint64_t>(frames[i]);
        const loaded_object *o = object_of(address);
        if (o == nullptr)
            continue;
        append(buffer, size, &len, i == skip ? first_format : next_format,
               static_cast<unsigned long>(address - o->base));
    }
#pragma GCC diagnostic pop
    pthread_mutex_unlock(&mx);
    return static_cast<long>(len);
}

// ---- addresses and endpoints ----

int parse_address(const char *text, address *out)
{
    if (text == nullptr)
        return -1;
    if (inet_pton(AF_INET6, text, out->b) == 1)
        return 0;
    memset(out->b, 0, 10);
    out->b[10] = 0xff;
    out->b[11] = 0xff;
    return inet_pton(AF_INET, text, out->b + 12) == 1 ? 0 : -1;
}

// The patterns read an unbounded run; the widths keep it inside the scratch text, and a run
// that fills the width is longer than any address and refused.
int parse_endpoint(const char *text, endpoint *out)
{
    if (text == nullptr || text[0] == '\0')
        return -1;
    char scratch[ADDRESS_TEXT_SZ];
    memset(scratch, 0, sizeof(scratch));
    // A long, not an int: the conversion saturates a number too big for it, while an int
    // would keep the low 32 bits and take 4294969345 for port 2049.
    long port = 0;
    if (sscanf(text, "[%45[0-9a-fA-F:]]:%ld", scratch, &port) != 2) {
        memset(scratch, 0, sizeof(scratch));
        if (sscanf(text, "%45[0-9.]:%ld", scratch, &port) != 2)
            return -1;
    }
    if (port < 1 || port > 65535)
        return -1;
    address a;
    if (parse_address(scratch, &a) != 0)
        return -1;
    if (out != nullptr) {
        out->addr = a;
        out->port = static_cast<uint16_t>(port);
    }
    return 0;
}

const char *ARGipv6(address a, char *buffer)
{
    address local = a;
    inet_ntop(AF_INET6, local.b, buffer, ADDRESS_TEXT_SZ);
    return buffer;
}

const char *ARGendpoint6(char *buffer, endpoint ep)
{
    char text[ADDRESS_TEXT_SZ];
    inet_ntop(AF_INET6, ep.addr.b, text, sizeof(text));
    // The longest address with the longest port does not fit; the text is cut, never overrun.
    if (snprintf(buffer, ENDPOINT_TEXT_SZ, "[%s]:%u", text, static_cast<unsigned>(ep.port)) < 0)
        buffer[0] = '\0';
    return buffer;
}

// ---- accepted-names file ----

static constexpr size_t JSON_BUF_SZ = 4096;
// How much of a refused name its line shows.
static constexpr size_t HOST_NAME_SHOWN = 64;

static void free_names(char **names)
{
    for (char **p = names; *p != nullptr; p++)
        free(*p);
    free(names);
}

static const char *file_kind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "directory";
    if (S_ISFIFO(mode))
        return "FIFO";
    if (S_ISSOCK(mode))
        return "socket";
    if (S_ISCHR(mode))
        return "character device";
    if (S_ISBLK(mode))
        return "block device";
    return "file of an unknown kind";
}

int open_regular_file(const char *path, const char **kind)
{
    // Without waiting: a FIFO opens at once for reading, and is then refused by its kind.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    if (fd < 0) {
        // A socket cannot be opened at all; it is named all the same.
        int err = errno;
        if (err == ENXIO && stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
            *kind = file_kind(st.st_mode);
            err = EINVAL;
        }
        errno = err;
        return -1;
    }
    int err = fstat(fd, &st) == 0 ? 0 : errno;
    if (err == 0 && S_ISREG(st.st_mode))
        return fd;
    close(fd);
    if (err == 0) {
        *kind = file_kind(st.st_mode);
        err = EINVAL;
    }
    errno = err;
    return -1;
}

enum json_read_result {
    JSON_READ_OK,
    JSON_READ_NO_OPEN,
    JSON_READ_NOT_REGULAR,
    JSON_READ_NOTHING,
    JSON_READ_TOO_LONG,
};

// One read of the whole buffer; a file that fills it has no room left for the terminating
// zero and may go on past it, so it is refused rather than parsed cut short.
static json_read_result read_whole(const char *path, char *buf, const char **kind)
{
    int fd = open_regular_file(path, kind);
    if (fd < 0)
        return errno == EINVAL ? JSON_READ_NOT_REGULAR : JSON_READ_NO_OPEN;
    ssize_t n = read(fd, buf, JSON_BUF_SZ);
    close(fd);
    if (n <= 0)
        return JSON_READ_NOTHING;
    if (static_cast<size_t>(n) >= JSON_BUF_SZ)
        return JSON_READ_TOO_LONG;
    return JSON_READ_OK;
}

// The messages are logged here rather than in read_whole, because the log prefix names the
// function that logs and operators know these lines as read_json's.
char **read_json(const char *path, const char *text)
{
    char buf[JSON_BUF_SZ];
    memset(buf, 0, sizeof(buf));
    const char *kind = "";
    switch (text != nullptr ? JSON_READ_OK : read_whole(path, buf, &kind)) {
    case JSON_READ_OK:
        break;
    case JSON_READ_NO_OPEN:
        REPORT(LVL_ERROR, "Unable to open config file %s.\n", path);
        return nullptr;
    case JSON_READ_NOT_REGULAR:
        REPORT(LVL_ERROR, "Unable to read json file %s: it is a %s, not a regular file.\n", path,
               kind);
        return nullptr;
    case JSON_READ_NOTHING:
        REPORT(LVL_ERROR, "Unable to read json file %s.\n", path);
        return nullptr;
    case JSON_READ_TOO_LONG:
        REPORT(LVL_ERROR, "Unable to parse json file %s.\n", path);
        return nullptr;
    }
    json_object *doc = json_tokener_parse(text != nullptr ? text : buf);
    if (doc == nullptr) {
        REPORT(LVL_ERROR, "Unable to parse json file %s.\n", path);
        return nullptr;
    }
    json_object *list = nullptr;
    if (json_object_get_type(doc) == json_type_object)
        list = json_object_object_get(doc, "wildcards");
    if (list == nullptr || json_object_get_type(list) != json_type_array) {
        REPORT(LVL_ERROR, "Unable to parse cnames from json file %s.\n", path);
        json_object_put(doc);
        return nullptr;
    }
    size_t n = json_object_array_length(list);
    char **names = static_cast<char **>(zmalloc((n + 1) * sizeof(char *)));
    for (size_t i = 0; i < n; i++) {
        json_object *e = json_object_array_get_idx(list, i);
        if (json_object_get_type(e) != json_type_string) {
            REPORT(LVL_ERROR, "Unable to parse cname at index %d from json file %s.\n",
                   static_cast<int>(i), path);
            json_object_put(doc);
            free_names(names);
            return nullptr;
        }
        const char *name = json_object_get_string(e);
        size_t len = static_cast<size_t>(json_object_get_string_len(e));
        const char *fault = host_name_fault(name, len);
        if (fault != nullptr) {
            char shown[report_escape_size(HOST_NAME_SHOWN)];
            REPORT(LVL_ERROR, "Unable to use cname \"%s\" at index %d from json file %s: %s.\n",
                   report_escape(name, len < HOST_NAME_SHOWN ? len : HOST_NAME_SHOWN, shown,
                                 sizeof(shown)),
                   static_cast<int>(i), path, fault);
            json_object_put(doc);
            free_names(names);
            return nullptr;
        }
        names[i] = strdup(name);
        ZD_ASSERT_T(names[i] != nullptr, "ptr != NULL");
    }
    names[n] = nullptr;
    json_object_put(doc);
    return names;
}

// ---- accepted names ----

static constexpr size_t HOST_NAME_MAX_LEN = 253;
static constexpr size_t HOST_LABEL_MAX_LEN = 63;

static bool host_name_char(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '*';
}

const char *host_name_fault(const char *name, size_t len)
{
    if (len == 0)
        return "an empty name would turn the host-name check off";
    if (memchr(name, '\0', len) != nullptr)
        return "it holds a zero byte";
    if (len > HOST_NAME_MAX_LEN)
        return "longer than 253 characters";
    // An address is checked against the certificate's IP addresses instead.
    address a;
    if (memchr(name, ':', len) != nullptr && parse_address(name, &a) == 0)
        return nullptr;
    // One leading dot is the library's way of accepting every name below it.
    size_t start = name[0] == '.' ? 1 : 0;
    size_t label = 0;
    for (size_t i = start; i < len; i++) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c == '.') {
            if (label == 0)
                return "an empty label";
            label = 0;
        } else if (!host_name_char(c)) {
            return "not a host name (letters, digits, \"-\", \"_\", \"*\" and dots only)";
        } else if (++label > HOST_LABEL_MAX_LEN) {
            return "a label longer than 63 characters";
        }
    }
    if (label == 0)
        return "an empty label";
    return nullptr;
}

// ---- capabilities ----

void drop_cap()
{
    cap_value_t cap_list[1] = {CAP_NET_BIND_SERVICE};
    cap_t cap = cap_get_proc();
    ZD_ASSERT_T(cap != NULL, "cap != NULL");
    ZD_ASSERT(cap_clear(cap) == 0);
    ZD_ASSERT(cap_set_flag(cap, CAP_EFFECTIVE, 1, cap_list, CAP_SET) == 0);
    ZD_ASSERT(cap_set_flag(cap, CAP_PERMITTED, 1, cap_list, CAP_SET) == 0);
    ZD_ASSERT(cap_set_flag(cap, CAP_INHERITABLE, 1, cap_list, CAP_SET) == 0);
    ZD_ASSERT(cap_set_proc(cap) == 0);
    cap_free(cap);
}
