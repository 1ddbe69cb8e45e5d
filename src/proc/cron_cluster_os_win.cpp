// Clusters are not offered on the desktop platform: nothing is loaded.

#include "proc/cron_cluster_os.h"

void* cron_dl_open(const char*, std::string* why) {
    *why = "not offered on this platform";
    return nullptr;
}

void* cron_dl_symbol(void*, const char*) { return nullptr; }

std::string cron_os_node_name() { return "desktop"; }
