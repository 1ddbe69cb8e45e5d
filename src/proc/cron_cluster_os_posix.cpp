#include "proc/cron_cluster_os.h"

#include <dlfcn.h>
#include <unistd.h>

void* cron_dl_open(const char* name, std::string* why) {
    void* lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        const char* e = dlerror();
        *why = e != nullptr ? e : "the library could not be loaded";
    }
    return lib;
}

void* cron_dl_symbol(void* lib, const char* symbol) { return dlsym(lib, symbol); }

std::string cron_os_node_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    return std::string(host[0] != '\0' ? host : "localhost") + ":" + std::to_string(getpid());
}
