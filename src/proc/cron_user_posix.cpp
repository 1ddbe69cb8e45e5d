// Accounts on POSIX: the password database through getpwnam_r, supplementary
// groups through getgrouplist. Both may ask a directory service (NSS), so
// they are called without the instance lock.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "proc/cron_user.h"

namespace {

// The host's own account name, for the sentence of a refusal.
std::string own_name(uid_t uid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

}  // namespace

cron_user_status cron_user_resolve(const char* name, cron_account_t* out, std::string* why) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    int rc = 0;
    // ERANGE: an entry larger than the buffer (long group or gecos texts).
    while ((rc = ::getpwnam_r(name, &pw, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < (1u << 24))
        buf.resize(buf.size() * 2);
    if (rc != 0 && rc != ENOENT && rc != ESRCH && rc != EBADF && rc != EPERM) {
        *why = std::string("user '") + name + "' could not be looked up: " + std::strerror(rc);
        return cron_user_status::refused;
    }
    if (found == nullptr) {
        *why = std::string("user '") + name + "' does not exist";
        return cron_user_status::refused;
    }
    const uid_t host = ::geteuid();
    if (host != 0 && pw.pw_uid != host) {
        *why = std::string("jobs cannot run as user '") + name + "': the host runs as '" + own_name(host) +
               "', not as root";
        return cron_user_status::refused;
    }
    out->name = pw.pw_name;
    out->home = pw.pw_dir != nullptr ? pw.pw_dir : "";
    out->uid = pw.pw_uid;
    out->gid = pw.pw_gid;
    out->switch_ids = host == 0;
    out->groups.clear();
    if (!out->switch_ids) return cron_user_status::ok;
    std::vector<gid_t> groups(64);
    for (;;) {
        int n = static_cast<int>(groups.size());
        if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) >= 0) {
            groups.resize(static_cast<size_t>(n));
            break;
        }
        // -1: the list did not fit; n now holds its length.
        if (n <= static_cast<int>(groups.size()) || n > 65536) {
            *why = std::string("the groups of user '") + name + "' could not be looked up";
            return cron_user_status::refused;
        }
        groups.resize(static_cast<size_t>(n));
    }
    out->groups.assign(groups.begin(), groups.end());
    return cron_user_status::ok;
}
