// import, export and edit: the jobs of a directory as crontab-style text.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli.h"
#include "crontab_text.h"
#include "dir_files.h"
#include "import.h"
#include "job_list.h"
#include "labels.h"

namespace {

constexpr size_t MAX_JOBS = CRONTAB_MAX_JOBS;

bool read_stream(cmd_ctx& ctx, FILE* f, const char* name, std::string* text) {
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
        text->append(buf, n);
        if (text->size() > CRONTAB_TEXT_MAX) return ctx.refuse("refusing %s: it is longer than 1 MiB", name);
    }
    if (std::ferror(f)) return ctx.refuse("cannot read %s: %s", name, std::strerror(errno));
    return true;
}

// The text of FILE, or of standard input for "-": only a regular file, and
// only up to the bound, so a device or a directory is refused at once.
bool read_input(cmd_ctx& ctx, const char* path, std::string* text) {
    text->clear();
    if (std::strcmp(path, "-") == 0) {
        if (!read_stream(ctx, ctx.in, "standard input", text)) return false;
        ctx.input_read = *text;
        ctx.input_taken = true;
        return true;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    unique_fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return ctx.refuse("cannot read %s: %s", path, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return ctx.refuse("cannot read %s: %s", path, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) {
        return ctx.refuse("refusing %s: %s", path,
                          S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
    }
    if (static_cast<unsigned long long>(st.st_size) > CRONTAB_TEXT_MAX) {
        return ctx.refuse("refusing %s: it is longer than 1 MiB", path);
    }
    FILE* f = ::fdopen(fd.release(), "rb");
    if (f == nullptr) return ctx.refuse("cannot read %s: %s", path, std::strerror(errno));
    bool ok = read_stream(ctx, f, path, text);
    std::fclose(f);
    return ok;
}

// The settings beside name, schedule, command and flag, those that differ
// from `now` (all when null): every call saves the store, which takes its time.
bool set_settings(crontab_t* ct, int id, const job_def& d, const job_def* was) {
    static const job_def unknown = [] {
        job_def u;
        u.timeout = u.overlap = u.retry_max = u.catch_up = u.jitter = -1;
        u.workdir = u.user = "\n";
        return u;
    }();
    const job_def& now = was != nullptr ? *was : unknown;
    return (d.timeout == now.timeout || crontab_set_job_timeout(ct, id, d.timeout) == CRONTAB_OK) &&
           ((d.workdir == now.workdir && d.env == now.env) ||
            crontab_set_job_paths(ct, id, d.workdir.empty() ? nullptr : d.workdir.c_str(), d.env.c_str()) ==
                CRONTAB_OK) &&
           (d.overlap == now.overlap || crontab_set_job_overlap_policy(ct, id, d.overlap) == CRONTAB_OK) &&
           ((d.retry_max == now.retry_max && d.retry_backoff == now.retry_backoff) ||
            crontab_set_job_retry(ct, id, d.retry_max, d.retry_backoff) == CRONTAB_OK) &&
           (d.catch_up == now.catch_up || crontab_set_job_catch_up(ct, id, d.catch_up) == CRONTAB_OK) &&
           ((d.jitter == now.jitter && d.jitter_fixed == now.jitter_fixed) ||
            crontab_set_job_jitter(ct, id, d.jitter, d.jitter_fixed) == CRONTAB_OK) &&
           (d.user == now.user || crontab_set_job_user(ct, id, d.user.c_str()) == CRONTAB_OK);
}

// A job as crontab_add_job makes it.
const job_def fresh;

// The new id, or -1 with the library's reason in *why.
int add_def(crontab_t* ct, const job_def& d, std::string* why) {
    int id = crontab_add_job(ct, d.name.c_str(), d.expr.c_str(), d.cmd.c_str(), d.enabled);
    if (id > 0 && set_settings(ct, id, d, &fresh)) return id;
    *why = crontab_last_error();
    if (id > 0) crontab_delete_job(ct, id);
    return -1;
}

bool change_def(crontab_t* ct, int id, const job_def& d, const job_def* old) {
    return crontab_update_job(ct, id, d.name.c_str(), d.expr.c_str(), d.cmd.c_str(), d.enabled) ==
               CRONTAB_OK &&
           set_settings(ct, id, d, old);
}

struct plan {
    std::vector<const job_def*> added;
    std::vector<std::pair<int, const job_def*>> changed;  // id, new definition
    std::vector<job_info> removed;
    int unchanged = 0;
};

// Every definition as the library would take it, tried on an instance
// without a directory: the same rules, nothing saved. Refused ones are
// reported and, with `skip_bad`, left out.
bool check_defs(cmd_ctx& ctx, const char* file, std::vector<job_def>* defs, bool skip_bad, int* bad) {
    crontab_t* scratch = crontab_create(nullptr);
    if (scratch == nullptr) return ctx.refuse("cannot check the jobs: %s", crontab_last_error());
    std::vector<job_def> kept;
    for (const job_def& d : *defs) {
        int id = crontab_add_job(scratch, d.name.c_str(), d.expr.c_str(), d.cmd.c_str(), d.enabled);
        if (id > 0 && set_settings(scratch, id, d, &fresh)) {
            crontab_delete_job(scratch, id);
            kept.push_back(d);
            continue;
        }
        std::fprintf(ctx.err, "%s:%d: %s\n", file, d.line, crontab_last_error());
        if (id > 0) crontab_delete_job(scratch, id);
        ++*bad;
    }
    crontab_destroy(scratch);
    if (*bad > 0 && !skip_bad) return false;
    *defs = std::move(kept);
    return true;
}

// What importing `defs` changes: without `replace` a name the directory
// has for another definition is refused; with it the directory's jobs
// become those of the text.
bool make_plan(cmd_ctx& ctx, const char* file, const std::vector<job_info>& jobs, std::vector<job_def>& defs,
               bool replace, const std::string& table, bool skip_bad, int* bad, plan* p) {
    std::map<std::string, std::vector<const job_info*>> by_name;
    for (const job_info& j : jobs) by_name[j.name].push_back(&j);
    // A file is a table: only its own jobs go (every job with --all).
    std::vector<const job_info*> ours;
    if (replace) {
        const std::map<int, std::string> labels =
            table.empty() ? std::map<int, std::string>{} : cron_labels_read(ctx.dir);
        for (const job_info& j : jobs) {
            auto l = labels.find(j.id);
            if (table.empty() || (l != labels.end() && l->second == table)) ours.push_back(&j);
        }
    }
    std::set<int> taken;               // the jobs that lines of the text are
    std::vector<const job_def*> open;  // lines whose job is not known yet
    for (const job_def& d : defs) {
        auto it = by_name.find(d.name);
        if (it != by_name.end() && it->second.size() > 1) {
            std::fprintf(ctx.err, "%s:%d: the name '%s' is taken by jobs %d and %d in the directory\n", file,
                         d.line, d.name.c_str(), it->second[0]->id, it->second[1]->id);
            ++*bad;
        } else if (it != by_name.end() && cron_same_def(cron_job_def(*it->second[0]), d)) {
            ++p->unchanged;
            taken.insert(it->second[0]->id);
        } else {
            open.push_back(&d);
        }
    }
    // A line that only moved (a default name holds its line number) is the
    // job it was: renamed in place, its state and runs kept.
    for (auto d = open.begin(); d != open.end();) {
        auto same = std::find_if(ours.begin(), ours.end(), [&](const job_info* j) {
            job_def was = cron_job_def(*j);
            was.name = (*d)->name;
            return taken.count(j->id) == 0 && cron_same_def(was, **d);
        });
        if (same == ours.end()) {
            ++d;
            continue;
        }
        taken.insert((*same)->id);
        p->changed.emplace_back((*same)->id, *d);
        d = open.erase(d);
    }
    for (const job_def* d : open) {
        auto it = by_name.find(d->name);
        if (it == by_name.end() || taken.count(it->second[0]->id) != 0) {
            p->added.push_back(d);
        } else if (replace) {
            taken.insert(it->second[0]->id);
            p->changed.emplace_back(it->second[0]->id, d);
        } else {
            std::fprintf(ctx.err,
                         "%s:%d: job %d is already named '%s', with other settings (--replace applies the "
                         "text)\n",
                         file, d->line, it->second[0]->id, d->name.c_str());
            ++*bad;
        }
    }
    std::sort(p->changed.begin(), p->changed.end(),
              [](const auto& a, const auto& b) { return a.second->line < b.second->line; });
    for (const job_info* j : ours) {
        if (taken.count(j->id) == 0) p->removed.push_back(*j);
    }
    if (*bad > 0 && !skip_bad) return false;
    if (jobs.size() - p->removed.size() + p->added.size() > MAX_JOBS) {
        return ctx.refuse("%s would make %zu jobs; the table holds %d", file,
                          jobs.size() - p->removed.size() + p->added.size(), CRONTAB_MAX_JOBS);
    }
    return true;
}

// Carries out the plan; on a refusal takes back what it did, but for the
// removals, which come last unless the table needs their room first.
bool apply(cmd_ctx& ctx, crontab_t* ct, const std::vector<job_info>& jobs, const plan& p) {
    const bool remove_first = jobs.size() + p.added.size() > MAX_JOBS;
    auto remove_all = [&] {
        for (const job_info& j : p.removed) {
            if (crontab_delete_job(ct, j.id) != CRONTAB_OK)
                return ctx.refuse("cannot delete job %d: %s", j.id, crontab_last_error());
        }
        return true;
    };
    if (remove_first && !remove_all()) return false;
    std::vector<std::pair<int, const job_def*>> done;
    std::vector<int> added;
    std::string why;
    bool ok = true;
    for (const auto& [id, d] : p.changed) {
        const job_info* was = cron_find_job(jobs, id);
        const job_def old = was != nullptr ? cron_job_def(*was) : job_def{};
        if (!change_def(ct, id, *d, was != nullptr ? &old : nullptr)) {
            why = "line " + std::to_string(d->line) + ": " + crontab_last_error();
            ok = false;
            break;
        }
        done.emplace_back(id, d);
    }
    if (!ok) done.emplace_back(p.changed[done.size()]);  // perhaps changed in part
    for (size_t i = 0; ok && i < p.added.size(); ++i) {
        std::string reason;
        int id = add_def(ct, *p.added[i], &reason);
        if (id < 0) {
            why = "line " + std::to_string(p.added[i]->line) + ": " + reason;
            ok = false;
            break;
        }
        added.push_back(id);
    }
    if (!ok) {
        for (int id : added) crontab_delete_job(ct, id);
        for (const auto& [id, d] : done) {
            const job_info* old = cron_find_job(jobs, id);
            if (old != nullptr) change_def(ct, id, cron_job_def(*old), nullptr);
        }
        if (remove_first && !p.removed.empty()) {
            return ctx.refuse("stopped at %s; taken back but for the %zu removed job%s", why.c_str(),
                              p.removed.size(), p.removed.size() == 1 ? "" : "s");
        }
        return ctx.refuse("nothing imported: %s", why.c_str());
    }
    if (!remove_first && !remove_all()) return false;
    for (const auto& [id, d] : p.changed) std::fprintf(ctx.out, "line %d: changed job %d\n", d->line, id);
    for (size_t i = 0; i < added.size(); ++i) {
        std::fprintf(ctx.out, "line %d: added job %d\n", p.added[i]->line, added[i]);
    }
    for (const job_info& j : p.removed) std::fprintf(ctx.out, "removed job %d (%s)\n", j.id, j.name.c_str());
    return true;
}

// Every job of the text now belongs to its label= table, else to
// `table` (none when empty; a job keeps its own when null); the lines of
// jobs gone go. The number of jobs `before` whose table changed.
int note_tables(cmd_ctx& ctx, const std::optional<std::string>& table, const std::vector<job_def>& defs,
                const std::vector<job_info>& before) {
    std::vector<job_info> now;
    if (!cron_read_jobs(ctx.ct, &now)) return 0;
    const std::map<int, std::string> was = cron_labels_read(ctx.dir);
    std::map<int, std::string> labels = was, kept;
    for (const job_def& d : defs) {
        const std::optional<std::string> label = d.labelled ? d.label : table;
        if (!label) continue;
        for (const job_info& j : now) {
            if (j.name != d.name) continue;
            if (label->empty()) {
                labels.erase(j.id);
            } else {
                labels[j.id] = *label;
            }
        }
    }
    int moved = 0;
    for (const job_info& j : now) {
        auto l = labels.find(j.id);
        if (l != labels.end()) kept.insert(*l);
        auto w = was.find(j.id);
        moved +=
            cron_find_job(before, j.id) != nullptr &&
            (w == was.end() ? std::string() : w->second) != (l == labels.end() ? std::string() : l->second);
    }
    if (kept != was && !cron_labels_write(ctx.dir, kept)) {
        std::fprintf(ctx.err, "quilmarn-cron: warning: cannot note the jobs' file (label) in %s\n", ctx.dir);
    }
    return moved;
}

int cmd_import(cmd_ctx& ctx, int, char** argv) {
    const char* path = argv[0];
    const bool skip_bad = ctx.args.has("--skip-bad"), replace = ctx.args.has("--replace");
    // A skipped line would remove its job.
    if (skip_bad && replace) return ctx.usage_error("--replace applies the whole file; it cannot skip lines");
    const char* label = ctx.args.value("--label");
    const char* file = std::strcmp(path, "-") != 0 ? path : label != nullptr ? label : "<stdin>";
    if (ctx.args.has("--all") && !replace) return ctx.usage_error("--all goes with --replace");
    // The table the jobs belong to: --label, else the file's own name.
    std::string table = label != nullptr              ? label
                        : std::strcmp(path, "-") == 0 ? "stdin"
                                                      : std::filesystem::path(path).filename().string();
    if (ctx.args.has("--all")) table.clear();
    if (table.find_first_of("\n\t") != std::string::npos) {
        return ctx.usage_error("a label holds no line break or tab");
    }
    std::string text;
    if (!read_input(ctx, path, &text)) return EXIT_FAILED;
    crontab_read_options opts;
    opts.system = ctx.args.has("--system");
    opts.label = table;
    crontab_parsed parsed = cron_crontab_read(text, file, opts, ctx.err);
    int bad = parsed.bad_lines;
    const char* nothing = "nothing imported: %d line%s could not be taken (--skip-bad imports the rest)";
    if ((bad > 0 && !skip_bad) || !check_defs(ctx, file, &parsed.jobs, skip_bad, &bad)) {
        return ctx.fail(nothing, bad, bad == 1 ? "" : "s");
    }
    // The directory is opened only now: reading the text holds no lock.
    crontab_t* ct = ctx.instance();
    std::vector<job_info> jobs;
    if (ct == nullptr || !ctx.read_jobs(&jobs)) return EXIT_FAILED;
    // Checked and applied under one hold of the jobs: the daemon's change
    // lock, or the directory's own.
    if (const char* expect = ctx.args.value("--expect"); expect != nullptr) {
        if (const std::string now = cron_jobs_digest(jobs, cron_labels_read(ctx.dir)); now != expect) {
            ctx.fail("the jobs changed since digest %s was taken (it is %s now); nothing imported", expect,
                     now.c_str());
            return EXIT_CHANGED;
        }
    }
    plan p;
    if (!make_plan(ctx, file, jobs, parsed.jobs, replace, table, skip_bad, &bad, &p)) {
        return bad > 0 ? ctx.fail(nothing, bad, bad == 1 ? "" : "s") : EXIT_FAILED;
    }
    if (!apply(ctx, ct, jobs, p)) return EXIT_FAILED;
    // A text export wrote names each job's table: one without a label= has none.
    const bool exported = !cron_crontab_digest(text).empty();
    std::optional<std::string> unlabelled = table;
    if (ctx.args.has("--all")) {
        unlabelled = exported ? std::optional<std::string>("") : std::nullopt;
    } else if (exported && label == nullptr) {
        unlabelled = "";
    }
    const int moved = note_tables(ctx, unlabelled, parsed.jobs, jobs);
    std::fprintf(ctx.out, "imported %zu job%s", p.added.size(), p.added.size() == 1 ? "" : "s");
    if (!p.changed.empty()) std::fprintf(ctx.out, ", changed %zu", p.changed.size());
    if (!p.removed.empty()) std::fprintf(ctx.out, ", removed %zu", p.removed.size());
    if (p.unchanged > 0) std::fprintf(ctx.out, ", %d unchanged", p.unchanged);
    if (moved > 0) std::fprintf(ctx.out, ", %d moved to another table", moved);
    if (bad > 0) std::fprintf(ctx.out, ", skipped %d line%s", bad, bad == 1 ? "" : "s");
    std::fprintf(ctx.out, "\n");
    return EXIT_OK;
}

int cmd_export(cmd_ctx& ctx, int, char**) {
    std::vector<job_info> jobs;
    if (ctx.instance(dir_access::read) == nullptr || !ctx.read_jobs(&jobs)) return EXIT_FAILED;
    std::vector<std::string> problems;
    std::fputs(cron_crontab_write(jobs, &problems, cron_labels_read(ctx.dir)).c_str(), ctx.out);
    for (const std::string& why : problems) ctx.fail("%s", why.c_str());
    return problems.empty() ? EXIT_OK : EXIT_FAILED;
}

// Runs the user's editor on `path` through the shell, as $EDITOR may hold
// options; its exit status, or -1.
int run_editor(const std::string& path) {
    const char* editor = std::getenv("VISUAL");
    if (editor == nullptr || editor[0] == '\0') editor = std::getenv("EDITOR");
    if (editor == nullptr || editor[0] == '\0') editor = "vi";
    const std::string script = std::string(editor) + " \"$1\"";
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", script.c_str(), "sh", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ask_again(cmd_ctx& ctx) {
    std::fprintf(ctx.err, "Edit again? [Y/n] ");
    std::fflush(ctx.err);
    char answer[64];
    if (std::fgets(answer, sizeof answer, ctx.in) == nullptr) return false;
    return answer[0] != 'n' && answer[0] != 'N';
}

// The temporary file is the editor's to replace: it is written anew, never
// through what the editor left (a link), and read only when it is a
// regular file (a FIFO there would wait for ever).
bool write_temp(cmd_ctx& ctx, const std::string& path, const std::string& text) {
    ::unlink(path.c_str());
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    FILE* f = fd ? ::fdopen(fd.get(), "wb") : nullptr;
    if (f == nullptr) return ctx.refuse("cannot write %s: %s", path.c_str(), std::strerror(errno));
    fd.release();
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return (std::fclose(f) == 0 && ok) ||
           ctx.refuse("cannot write %s: %s", path.c_str(), std::strerror(errno));
}

bool read_temp(cmd_ctx& ctx, const std::string& path, std::string* text) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if ((!fd && errno == ELOOP) || (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))))
        return ctx.refuse("refusing %s: the editor left no regular file there", path.c_str());
    if (!fd) return ctx.refuse("cannot read %s: %s", path.c_str(), std::strerror(errno));
    if (static_cast<unsigned long long>(st.st_size) > CRONTAB_TEXT_MAX)
        return ctx.refuse("refusing %s: it is longer than 1 MiB", path.c_str());
    FILE* f = ::fdopen(fd.get(), "rb");
    if (f == nullptr) return ctx.refuse("cannot read %s: %s", path.c_str(), std::strerror(errno));
    fd.release();
    text->clear();
    const bool ok = read_stream(ctx, f, path.c_str(), text);
    std::fclose(f);
    return ok;
}

// What another command changed between two exports, by job name.
void say_what_changed(cmd_ctx& ctx, const std::string& before, const std::string& now) {
    FILE* quiet = std::fopen("/dev/null", "w");
    std::map<std::string, job_def> was, is;
    if (quiet != nullptr) {
        for (job_def& d : cron_crontab_read(before, "", {}, quiet).jobs) was[d.name] = std::move(d);
        for (job_def& d : cron_crontab_read(now, "", {}, quiet).jobs) is[d.name] = std::move(d);
        std::fclose(quiet);
    }
    std::string list;
    for (const auto& [name, d] : is) {
        auto it = was.find(name);
        if (it == was.end() || !cron_same_def(it->second, d))
            list += std::string(it == was.end() ? "added" : "changed") + " '" + name + "', ";
    }
    for (const auto& [name, d] : was) {
        if (is.count(name) == 0) list += "removed '" + name + "', ";
    }
    if (!list.empty()) list.resize(list.size() - 2);
    ctx.refuse("the jobs changed while you edited (%s); nothing was applied",
               list.empty() ? "their definitions differ" : list.c_str());
}

int cmd_edit(cmd_ctx& ctx, int, char**) {
    // The table shown, which the text is applied to only while it stays so.
    std::string before;
    if (int rc = cron_cmd_capture(ctx, {"export"}, "", &before); rc != EXIT_OK) return rc;
    const char* tmpdir = std::getenv("TMPDIR");
    std::string path = std::string(tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp") +
                       "/quilmarn-cron-XXXXXX.crontab";
    int fd = ::mkstemps(path.data(), 8);
    if (fd < 0) return ctx.fail("cannot make a temporary file: %s", std::strerror(errno));
    ::close(fd);
    struct remove_at_end {
        std::string path;
        ~remove_at_end() { ::unlink(path.c_str()); }
    } cleanup{path};
    std::string text = before;
    for (;;) {
        if (!write_temp(ctx, path, text)) return EXIT_FAILED;
        int status = run_editor(path);
        if (status != 0) return ctx.fail("the editor ended with status %d; nothing changed", status);
        std::string edited;
        const bool read = read_temp(ctx, path, &edited);
        if (read) text = std::move(edited);
        if (read && text == before) {
            std::fprintf(ctx.out, "no changes\n");
            return EXIT_OK;
        }
        // Checked here, where the file can be named; applied as `import
        // --replace --expect DIGEST -`, which a running daemon carries out.
        int bad = 0, rc = EXIT_FAILED;
        if (read) {
            crontab_parsed parsed = cron_crontab_read(text, path.c_str(), {}, ctx.err);
            bad = parsed.bad_lines;
            if (bad == 0 && check_defs(ctx, path.c_str(), &parsed.jobs, false, &bad)) {
                std::string out;
                rc = cron_cmd_capture(ctx,
                                      {"import", "--replace", "--all", "--expect",
                                       cron_crontab_digest(before), "--label", path, "-"},
                                      text, &out);
                std::fputs(out.c_str(), ctx.out);
                if (rc == EXIT_OK) return EXIT_OK;
            }
        }
        if (rc == EXIT_CHANGED) {
            std::string now;
            if (int e = cron_cmd_capture(ctx, {"export"}, "", &now); e != EXIT_OK) return e;
            say_what_changed(ctx, before, now);
            // Edited again, the text applies to the jobs as they are now.
            before = std::move(now);
        }
        if (!ask_again(ctx)) {
            ctx.fail("nothing changed");
            return rc == EXIT_CHANGED ? EXIT_CHANGED : EXIT_FAILED;
        }
    }
}

}  // namespace

bool cron_import_load(cmd_ctx& ctx, crontab_file* f) {
    if (!read_input(ctx, f->path.c_str(), &f->text)) return false;
    crontab_read_options opts;
    opts.system = f->system;
    opts.label = f->table;
    crontab_parsed parsed = cron_crontab_read(f->text, f->path.c_str(), opts, ctx.err);
    int bad = parsed.bad_lines;
    if (bad > 0 || !check_defs(ctx, f->path.c_str(), &parsed.jobs, false, &bad)) return false;
    f->jobs = std::move(parsed.jobs);
    return true;
}

bool cron_import_replace(cmd_ctx& ctx, const crontab_file& f, import_counts* counts) {
    std::vector<job_info> jobs;
    if (!ctx.read_jobs(&jobs)) return false;
    std::vector<job_def> defs = f.jobs;
    plan p;
    int bad = 0;
    if (!make_plan(ctx, f.path.c_str(), jobs, defs, true, f.table, false, &bad, &p) ||
        !apply(ctx, ctx.ct, jobs, p))
        return false;
    note_tables(ctx, f.table, defs, jobs);
    *counts = {static_cast<int>(p.added.size()), static_cast<int>(p.changed.size()),
               static_cast<int>(p.removed.size()), p.unchanged};
    return true;
}

namespace {

const cmd_option import_options[] = {
    {"--skip-bad", nullptr, "import the lines that can be taken, report the rest"},
    {"--replace", nullptr, "make the jobs of FILE's table those of FILE (added, changed, removed by name)"},
    {"--system", nullptr, "FILE is a system crontab: the user field after the schedule is the job's user"},
    {"--label", "NAME", "FILE's table, and its name in messages (default: the file's name; stdin for -)"},
    {"--all", nullptr, "with --replace: replace every job of the directory, whatever file it came from"},
    {"--expect", "DIGEST", "apply FILE only while the jobs have the digest export wrote (else exit 3)"},
    {"--create", nullptr, "create the data directory when it does not exist"},
};

const command commands[] = {
    {"import", "FILE [--replace] [--skip-bad] [--system] [--expect DIGEST]",
     "add the jobs of a crontab-style file (- for standard input)", 1, 1, CMD_NEEDS_DIR | CMD_FORWARD,
     cmd_import, import_options,
     "Environment lines (NAME=VALUE) apply to the jobs after them; a \"#:\" line\n"
     "sets the name and settings of the job line after it (see export). Jobs\n"
     "already there by name with the same definition are left alone, so a file\n"
     "imported twice changes nothing. A line that cannot be taken is reported\n"
     "with its number; then nothing is imported. FILE is a regular file of at\n"
     "most 1 MiB. --expect DIGEST takes the \"# digest:\" export wrote for the\n"
     "jobs FILE was made from: when they have changed since, nothing is\n"
     "imported (exit status 3). With --system the user field of each line is\n"
     "the job's user: a user that does not exist, or (when the daemon is not\n"
     "root) another user's line, refuses that line. A job whose \"#:\" line has\n"
     "label=NAME joins that table; in a text export wrote, a job without one\n"
     "joins none (unless --label is given), so an export imports as it was.\n"},
    {"export",
     "",
     "the jobs as a crontab-style text that import reads back",
     0,
     0,
     CMD_NEEDS_DIR | CMD_FORWARD | CMD_READ_ONLY,
     cmd_export,
     {},
     "Every setting is kept: \"#: name=... label=... timeout=... retries=...\n"
     "backoff=... overlap=... workdir=... env=NAME=VALUE user=NAME enabled=no\"\n"
     "before each job line; label= is the table (file) the job was imported from.\n"},
    {"edit",
     "",
     "edit the jobs in $VISUAL or $EDITOR (default vi), as crontab -e",
     0,
     0,
     CMD_NEEDS_DIR,
     cmd_edit,
     {},
     "The whole text is checked when the editor ends, then applied by job name\n"
     "(added, changed, removed), as import --replace. On an error it names the\n"
     "line and offers to edit again; nothing is changed until the text is right.\n"
     "The text is applied only to the jobs it showed: when another command\n"
     "changed them meanwhile, edit names the jobs added, changed and removed,\n"
     "changes nothing and offers to edit again (exit status 3 if not).\n"},
};

}  // namespace

std::span<const command> cron_cmds_import() { return commands; }
