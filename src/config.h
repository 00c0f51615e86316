// The parsed command line, read-only after parse_arguments returns.
#pragma once

#include "util.h"

inline constexpr size_t CONFIG_TEXT_SZ = 256;
// The portmapper's port is fixed; the other three come from the command line.
inline constexpr uint16_t RPCBIND_PORT = 111;

struct config {
    address local;
    address prefsrc;
    address target;
    uint16_t nfs_port;
    uint16_t mount_port;
    uint16_t nlm_port;
    uint16_t nfs_ssl_port;
    char common_name[CONFIG_TEXT_SZ];
    int32_t fips;
    char ca_file[CONFIG_TEXT_SZ];
    char *netns;
};

// Every error ends the process inside the call; the result is always a valid record.
config *parse_arguments(int argc, char **argv);
[[noreturn]] void usage();
