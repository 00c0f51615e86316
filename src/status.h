// The status file: what each listening port has done (connections accepted and refused, TLS
// failures, live pairs, bytes each way), for operators and monitoring, without debug logs.
//
// The worker renders it on the loop's 5-second iteration and hands it to a small writer
// process, which replaces the file atomically (a temporary file renamed over it). The writer
// exists because the sandboxed daemon may not open files: it is forked at start-up, before
// any thread, keeps no capabilities, and all it can be made to do is write that one file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config.h"
#include "forwarder-ops.h"

inline constexpr char STATUS_DIR[] = "/run/zarn-dwel";
// Overrides the path; empty turns the file off.
inline constexpr char STATUS_ENV[] = "ZARN_DWEL_STATUS";
// The path of the same counters in the Prometheus text format, for node_exporter's textfile
// collector (a file named *.prom in its folder); unset or empty, there is none.
inline constexpr char METRICS_ENV[] = "ZARN_DWEL_METRICS";
inline constexpr uint64_t STATUS_INTERVAL_NS = 5000000000;
// Room for the live pairs too, all MAX_PAIRS of them.
inline constexpr size_t STATUS_TEXT_SZ = 65536;
// Changes when a field changes meaning or goes away; new fields keep it.
inline constexpr int STATUS_SCHEMA = 2;

// The file's path in `path`: $ZARN_DWEL_STATUS, else STATUS_DIR/<netns>/status.json (a folder
// per namespace, which a service manager can hand to each instance). False when the file is
// off or the path does not fit.
[[nodiscard]] bool status_path(const char *netns, char *path, size_t size);

// The file's content at wall-clock time `now_s` (Unix seconds); `running` is false for the
// last one, written once the daemon stops. Returns its length, or 0 when it does not fit.
size_t status_render(const forwarder_ctx *ctx, const config *config, int64_t started_s,
                     int64_t now_s, bool running, char *text, size_t size);

// The last reload, for every rendering from now on: when (Unix seconds), and its result ("ok",
// or the one-line reason it failed). Any thread.
void status_note_reload(int64_t at_s, const char *result);

// The counters in the Prometheus text format (metrics named zarn_dwel_*, labelled with the
// namespace and, per port, the port and service). Returns its length, or 0 when it does not fit.
size_t status_render_metrics(const forwarder_ctx *ctx, const config *config, int64_t started_s,
                             int64_t now_s, char *text, size_t size);

// Forks the writer for `path` (creating STATUS_DIR and the namespace's folder when the path is
// the default one). 0 on success;
// -1 after a WARN line, and the daemon runs on without the file.
// With `metrics_path` (or null) it writes that file too.
[[nodiscard]] int status_start(const char *path, const char *metrics_path);
// Hands one rendering to the writer without waiting; one the writer cannot take yet is
// dropped, the next one replaces it anyway. Any thread; a no-op when the writer is not running.
void status_publish(const char *text, size_t len);
void status_publish_metrics(const char *text, size_t len);
// Ends the writer once it has written what it holds.
void status_stop();
