// reload: the owner of a data directory reads crontab.json again, as cron
// re-reads an edited crontab. The daemon runs it on SIGHUP too.
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "cli.h"
#include "job_list.h"
#include "labels.h"

namespace {

struct reload_counts {
    int added = 0, changed = 0, removed = 0, kept = 0;
};

// Reloads of this process one at a time: each finds its own `reloaded`
// event in the feed.
std::mutex reload_mutex;
// Events read at once. A read marks what it returns as read for the events
// descriptor; a short one leaves newer events to wake the daemon's loop.
constexpr int kBatch = 256;

// What the reload after event `after` did, from its events: the counts of
// its `reloaded` event, and the ids it removed. False when the feed no
// longer holds it.
bool read_outcome(crontab_t* ct, uint64_t after, reload_counts* out, std::set<int>* removed) {
    for (;;) {
        char* text = crontab_read_events_json(ct, after, kBatch);
        if (text == nullptr) return false;
        rapidjson::Document doc;
        const bool parsed = cron_json_parse(text, std::strlen(text), &doc);
        crontab_free(text);
        if (!parsed || !doc.IsArray() || doc.Empty()) return false;
        for (const rapidjson::Value& e : doc.GetArray()) {
            after = e["seq"].GetUint64();
            const std::string kind = e["kind"].GetString();
            if (kind == "removed" && e.HasMember("cause")) removed->insert(e["job_id"].GetInt());
            if (kind != "reloaded") continue;
            *out = {e["added"].GetInt(), e["changed"].GetInt(), e["removed"].GetInt(), e["kept"].GetInt()};
            return true;
        }
    }
}

// crontab_reload on the owner's instance, with what it did taken from its
// events; the labels of the jobs it removed are dropped. False, with the
// library's sentence in *why, when the file was refused and nothing changed.
bool reload_jobs(crontab_t* ct, const std::string& dir, reload_counts* out, std::string* why) {
    std::lock_guard<std::mutex> lk(reload_mutex);
    const uint64_t before = crontab_get_last_event_seq(ct);
    if (crontab_reload(ct) != 0) {
        *why = crontab_last_error();
        return false;
    }
    std::set<int> removed;
    *out = {};
    read_outcome(ct, before, out, &removed);
    // An id the file brings back must not take a removed job's label, which
    // `import --replace` of that label would remove with it.
    std::map<int, std::string> labels = cron_labels_read(dir);
    if (std::erase_if(labels, [&](const auto& l) { return removed.count(l.first) != 0; }) != 0)
        cron_labels_write(dir, labels);
    return true;
}

// reload: in the process that owns the directory, which runs its jobs.
int cmd_reload(cmd_ctx& ctx, int, char**) {
    crontab_t* ct = ctx.instance();
    if (ct == nullptr) return EXIT_FAILED;
    if (!ctx.in_daemon) {
        // Opening the directory has read the file (refused above when it
        // cannot be read); nothing holds the jobs in memory between commands.
        std::fprintf(ctx.out, "no daemon runs the jobs of %s: each command reads crontab.json as it is\n",
                     ctx.dir);
        return EXIT_OK;
    }
    reload_counts n;
    std::string why;
    if (!reload_jobs(ct, ctx.dir, &n, &why)) return ctx.fail("%s; the jobs in memory stay", why.c_str());
    std::fprintf(ctx.out, "reloaded crontab.json: %d added, %d changed, %d removed, %d kept\n", n.added,
                 n.changed, n.removed, n.kept);
    return EXIT_OK;
}

const command commands[] = {
    {"reload",
     "",
     "read crontab.json again after a hand edit (the daemon's SIGHUP)",
     0,
     0,
     CMD_NEEDS_DIR | CMD_FORWARD,
     cmd_reload,
     {},
     "The daemon applies the file's jobs by id: new ones are added, changed\n"
     "ones replaced (their records and a run going on stay), missing ones\n"
     "removed. A file it cannot take whole (not JSON, a job that does not\n"
     "parse, a link) changes nothing: exit 1 with the reason. Without a\n"
     "daemon there is nothing to reload: every command reads the file.\n"},
};

}  // namespace

std::span<const command> cron_cmds_reload() { return commands; }
