#include "runs.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "instance.h"
#include "run_log.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPoll = 200ms;           // the daemon's look at runs and requests
constexpr auto kCancelAnswer = 5s;      // longest wait for the running process
constexpr auto kCancelledEnd = 10s;     // longest wait for cancelled runs to record
const char kCancelPrefix[] = "quilmarn-cron.cancel.";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) return false;
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    return !ec;
}

// ---- Cancel requests ----
// The library cancels only executions of its own process. A cancel for
// another process leaves "quilmarn-cron.cancel.<id>.<pid>" in the data
// directory; the process that holds the directory's lock to run jobs cancels
// and answers in "<that name>.done".

void serve_cancels(crontab_t* ct, const std::string& dir) {
    std::vector<std::string> requests;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind(kCancelPrefix, 0) == 0 && name.find(".done") == std::string::npos &&
            name.find(".tmp") == std::string::npos) {
            requests.push_back(name);
        }
    }
    for (const std::string& name : requests) {
        int id = 0;
        long pid = 0;
        const std::string path = dir + "/" + name;
        if (std::sscanf(name.c_str() + sizeof kCancelPrefix - 1, "%d.%ld", &id, &pid) == 2) {
            write_file(path + ".done", std::to_string(crontab_cancel_job(ct, id)));
        }
        fs::remove(path, ec);
    }
}

// Asks the lock holder; -1, 0 or 1 as crontab_cancel_job, or -9 for no answer.
int request_cancel(const std::string& dir, int id) {
    const std::string path = dir + "/" + kCancelPrefix + std::to_string(id) + "." + std::to_string(::getpid());
    const std::string done = path + ".done";
    if (!write_file(path, "")) return -9;
    auto until = std::chrono::steady_clock::now() + kCancelAnswer;
    std::error_code ec;
    while (!fs::exists(done, ec) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
    std::string answer = read_file(done);
    fs::remove(path, ec);
    fs::remove(done, ec);
    return answer.empty() ? -9 : std::atoi(answer.c_str());
}

// ---- Records ----

std::string job_name(const rapidjson::Value* jobs, int id) {
    if (jobs != nullptr && jobs->IsArray()) {
        for (const auto& j : jobs->GetArray()) {
            if (j["id"].GetInt() == id) return j["name"].GetString();
        }
    }
    return "job " + std::to_string(id);
}

// Prints the new records of every job (one line each, oldest first) and
// keeps them for `logs`. True while a job runs or has a run waiting.
bool report_new_records(crontab_t* ct, const std::string& dir, new_records* seen) {
    rapidjson::Document jobs;
    jobs.Parse(crontab_get_jobs_json(ct));
    if (!jobs.IsArray()) return false;
    bool busy = false;
    for (const auto& job : jobs.GetArray()) {
        busy = busy || job["running"].GetBool() || job["queued_count"].GetInt() != 0;
        if (job["log_count"].GetInt() == 0) continue;
        const int id = job["id"].GetInt();
        rapidjson::Document fresh;
        seen->take(id, crontab_get_job_logs_json(ct, id, 20), &fresh);
        if (fresh.Empty()) continue;
        for (rapidjson::SizeType i = fresh.Size(); i-- > 0;) {
            std::printf("%s\n", record_line(job["name"].GetString(), fresh[i], true).c_str());
        }
        runs_file_prepend(dir, id, fresh);
    }
    std::fflush(stdout);
    return busy;
}

void print_records(const std::string& name, const rapidjson::Value& newest_first, size_t count) {
    size_t n = std::min<size_t>(count, newest_first.Size());
    for (size_t i = n; i-- > 0;) {
        const auto& r = newest_first[static_cast<rapidjson::SizeType>(i)];
        std::printf("%s\n%s", record_line(name, r, false).c_str(), record_output(r).c_str());
    }
}

// Cancels every job with an execution in progress; under ALLOW only the
// latest of a job's executions is reached, destroy ends the others.
void cancel_running(crontab_t* ct) {
    rapidjson::Document jobs;
    jobs.Parse(crontab_get_jobs_json(ct));
    if (!jobs.IsArray()) return;
    for (const auto& job : jobs.GetArray()) {
        if (job["running"].GetBool()) crontab_cancel_job(ct, job["id"].GetInt());
    }
}

}  // namespace

int cron_tool_run(const char* dir, int id) {
    open_instance in(dir, dir_access::run);
    if (in.ct == nullptr) return 1;
    rapidjson::Document jobs;
    jobs.Parse(crontab_get_jobs_json(in.ct));
    const std::string name = job_name(&jobs, id);
    std::atomic<bool> done{false};
    // A cancel from another process reaches this run through the directory.
    std::thread helper([&] {
        while (!done) {
            serve_cancels(in.ct, dir);
            std::this_thread::sleep_for(100ms);
        }
    });
    int rc = crontab_run_now(in.ct, id);
    done = true;
    helper.join();
    if (rc != 0) {
        std::fprintf(stderr, "quilmarn-cron: no job %d\n", id);
        return 1;
    }
    rapidjson::Document log;
    log.Parse(crontab_get_job_logs_json(in.ct, id, 20));
    if (!log.IsArray() || log.Empty()) return 1;
    print_records(name, log, log.Size());
    runs_file_prepend(dir, id, log);
    return log[0]["exit_code"].GetInt() == 0 ? 0 : 1;
}

int cron_tool_logs(const char* dir, int id, int count, bool json) {
    if (dir == nullptr) {
        std::fprintf(stderr, "quilmarn-cron: this command needs --dir DIR\n");
        return 1;
    }
    rapidjson::Document log;
    runs_file_read(dir, id, &log);
    while (log.Size() > static_cast<rapidjson::SizeType>(count)) log.PopBack();
    if (json) {
        rapidjson::StringBuffer buf;
        rapidjson::Writer<rapidjson::StringBuffer> w(buf);
        log.Accept(w);
        std::printf("%s\n", buf.GetString());
        return 0;
    }
    if (log.Empty()) {
        std::printf("no records of job %d\n", id);
        return 0;
    }
    // The name as stored; the kept records outlive a deleted job.
    rapidjson::Document store;
    store.Parse(read_file(std::string(dir) + "/crontab.json").c_str());
    const rapidjson::Value* jobs = store.IsObject() && store.HasMember("jobs") ? &store["jobs"] : nullptr;
    print_records(job_name(jobs, id), log, log.Size());
    return 0;
}

int cron_tool_cancel(const char* dir, int id) {
    if (dir == nullptr) {
        std::fprintf(stderr, "quilmarn-cron: this command needs --dir DIR\n");
        return 1;
    }
    int rc = -9;
    long holder = 0;
    bool asked = false;  // the answer came from the process that runs the jobs
    for (;;) {
        dir_lock probe;
        lock_role role = lock_role::edit;
        if (probe.try_acquire(dir, lock_role::edit, &holder, &role)) {
            // Nothing runs in the directory: this tells only whether the job exists.
            crontab_t* ct = crontab_create(dir);
            rc = crontab_cancel_job(ct, id);
            crontab_destroy(ct);
            break;
        }
        if (role != lock_role::edit) {
            rc = request_cancel(dir, id);
            asked = true;
            break;
        }
        std::this_thread::sleep_for(50ms);  // a change of the jobs ends soon
    }
    switch (rc) {
        case 0:
            std::printf("cancelled the command of job %d\n", id);
            return 0;
        case 1:
            std::fprintf(stderr, "quilmarn-cron: job %d has no command running now%s\n", id,
                         asked ? " (a run waiting to retry is ended)" : "");
            return 1;
        case -1:
            std::fprintf(stderr, "quilmarn-cron: no job %d\n", id);
            return 1;
        default:
            std::fprintf(stderr, "quilmarn-cron: process %ld, which runs the jobs, did not answer\n", holder);
            return 1;
    }
}

int cron_tool_daemon(const char* dir) {
    // Blocked before any thread exists, so only the wait below takes them;
    // children start with an empty mask in their own process group.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    open_instance in(dir, dir_access::daemon);
    if (in.ct == nullptr) return 1;
    if (crontab_start(in.ct) != 0) {
        std::fprintf(stderr, "quilmarn-cron: the scheduler could not be started\n");
        return 1;
    }
    std::fprintf(stderr, "quilmarn-cron: daemon %ld runs the jobs in %s\n", static_cast<long>(::getpid()), dir);
    new_records seen;
    bool stopping = false;
    std::chrono::steady_clock::time_point cancelled_at{};
    for (;;) {
        const timespec pause{0, static_cast<long>(std::chrono::nanoseconds(kPoll).count())};
        if (sigtimedwait(&stop, nullptr, &pause) > 0) {
            if (!stopping) {
                crontab_stop(in.ct);
                stopping = true;
                std::fprintf(stderr, "quilmarn-cron: stopping; waiting for runs in progress (signal again to cancel them)\n");
            } else if (cancelled_at == std::chrono::steady_clock::time_point{}) {
                cancel_running(in.ct);
                cancelled_at = std::chrono::steady_clock::now();
            }
        }
        serve_cancels(in.ct, dir);
        const bool busy = report_new_records(in.ct, dir, &seen);
        if (stopping && !busy) break;
        // Runs out of a cancel's reach are left to destroy.
        if (cancelled_at != std::chrono::steady_clock::time_point{} &&
            std::chrono::steady_clock::now() - cancelled_at > kCancelledEnd) {
            break;
        }
    }
    return 0;
}
