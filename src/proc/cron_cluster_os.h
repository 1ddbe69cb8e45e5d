// What the cluster module needs of the system: loading a shared library at
// run time, so that a dependency only some hosts use (libpq) costs nothing to
// the others, and a default name for the node.
#pragma once

#include <string>

// The library `name` (a soname such as "libpq.so.5"), or null with the
// system's sentence in *why. Never unloaded: symbols taken from it stay valid
// for the life of the process. Null on the desktop platform.
void* cron_dl_open(const char* name, std::string* why);
// The address of `symbol` in a library from cron_dl_open, or null.
void* cron_dl_symbol(void* lib, const char* symbol);
// "HOSTNAME:PID" of this process: a node name no other live process has.
std::string cron_os_node_name();
