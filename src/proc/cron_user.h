// User accounts a job's child may run as: looked up in the host, taken on by
// the child. One implementation file per platform sits behind this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An account as the child takes it on. Looked up when an attempt begins, so
// a change to the account database applies to the next attempt.
struct cron_account_t {
    std::string name;
    std::string home;
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups;  // supplementary groups, the primary one included
    bool switch_ids = false;       // the host is root: the child takes uid, gid and groups
};

enum class cron_user_status {
    ok,
    refused,        // no such account, or one this host may not run as
    not_available,  // the platform has no accounts to switch to
};

// Looks `name` up (the account database, then its groups) and decides
// whether this host may run jobs as it: any account when the host runs as
// root, otherwise only its own. On anything but ok, *why holds one sentence
// ("user 'x' does not exist"). May throw std::bad_alloc.
cron_user_status cron_user_resolve(const char* name, cron_account_t* out, std::string* why);
