// A crontab file taken as `import --replace FILE` takes it, for a command
// that keeps a directory's jobs in step with one file.
#pragma once

#include <string>
#include <vector>

#include "cli.h"
#include "crontab_text.h"

struct crontab_file {
    std::string path;   // as given: the file read, and its name in messages
    std::string table;  // its label: the jobs it owns in the directory
    bool system = false;
    std::string text;  // as read
    std::vector<job_def> jobs;
};

// What applying a file did to the jobs of its table.
struct import_counts {
    int added = 0, changed = 0, removed = 0, kept = 0;
};

// Reads f->path and checks every line as import does (the library's rules
// too, on an instance without a directory); every problem goes to ctx.err
// as "FILE:LINE: why". False when there was one.
bool cron_import_load(cmd_ctx& ctx, crontab_file* f);

// Makes the jobs of f.table in ctx.ct (of ctx.dir) those of f: unchanged
// ones stay as they are, changed and moved ones are updated in place, the
// rest added or removed. False, with the reason on ctx.err and nothing
// changed, when the directory cannot take them.
bool cron_import_replace(cmd_ctx& ctx, const crontab_file& f, import_counts* counts);
