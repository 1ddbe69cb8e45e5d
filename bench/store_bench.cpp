// A job export with its save: the change, the store text, the write of a
// temporary file, fsync, the rename and the directory's fsync. Runs in a
// directory under the current one, so the figures are those of a real disk
// (a tmpfs /tmp would make fsync free). Target: under 2 ms per export; the
// bare replace shows how much of that the disk's two fsyncs take.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_args.h"
#include "quilmarn_crontab.h"

namespace {

namespace fs = std::filesystem;

struct store_dir {
    fs::path path = fs::current_path() / ("qc-store-bench-" + std::to_string(std::random_device{}()));
    ~store_dir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// state.range(0) jobs with every text field well filled: the largest stores
// cost the most to format and write.
void BM_ExportWithSave(benchmark::State& state) {
    store_dir dir;
    crontab_t* ct = crontab_create(dir.path.c_str());
    if (ct == nullptr) {
        state.SkipWithError(crontab_last_error());
        return;
    }
    const std::string cmd(900, 'c');
    const std::string env = "A=" + std::string(200, 'v') + "\nB=" + std::string(200, 'w');
    for (int i = 0; i < state.range(0); ++i) {
        int id =
            crontab_add_job(ct, ("job " + std::to_string(i)).c_str(), "*/5 9-17 * * MON-FRI", cmd.c_str(), 1);
        crontab_set_job_paths(ct, id, "/", env.c_str());
    }
    std::vector<double> ms;
    int timeout = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        // A new value every time: an unchanged text would not be written.
        if (crontab_set_job_timeout(ct, 1, ++timeout) != 0) {
            state.SkipWithError(crontab_last_error());
            break;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    crontab_destroy(ct);
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
}

// The same durable replace of a text of the same size with bare system calls:
// the floor set by the disk, against which the export's own cost shows.
void BM_BareDurableReplace(benchmark::State& state) {
    store_dir dir;
    crontab_t* ct = crontab_create(dir.path.c_str());
    if (ct == nullptr) return;
    const std::string cmd(900, 'c');
    for (int i = 0; i < state.range(0); ++i)
        crontab_add_job(ct, "job", "*/5 9-17 * * MON-FRI", cmd.c_str(), 1);
    crontab_destroy(ct);
    const std::string target = (dir.path / "crontab.json").string();
    const std::string tmp = target + ".tmp";
    const std::string text(fs::file_size(target), 'x');
    for (auto _ : state) {
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            ::fsync(fd) != 0) {
            state.SkipWithError("write failed");
            break;
        }
        ::close(fd);
        ::rename(tmp.c_str(), target.c_str());
        int d = ::open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fsync(d);
        ::close(d);
    }
}

// Opening a data directory: the checks of the directory and its files, the
// lock, the load of a store of state.range(0) jobs, then the destroy.
void BM_CreateDestroy(benchmark::State& state) {
    store_dir dir;
    crontab_t* ct = crontab_create(dir.path.c_str());
    if (ct == nullptr) {
        state.SkipWithError(crontab_last_error());
        return;
    }
    const std::string cmd(900, 'c');
    for (int i = 0; i < state.range(0); ++i)
        crontab_add_job(ct, ("job " + std::to_string(i)).c_str(), "*/5 9-17 * * MON-FRI", cmd.c_str(), 1);
    crontab_destroy(ct);
    for (auto _ : state) {
        ct = crontab_create(dir.path.c_str());
        if (ct == nullptr) {
            state.SkipWithError(crontab_last_error());
            break;
        }
        crontab_destroy(ct);
    }
}

}  // namespace

BENCHMARK(BM_CreateDestroy)->Arg(0)->Arg(128)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareDurableReplace)->Arg(1)->Arg(128)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportWithSave)->Arg(1)->Arg(128)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    bench_initialize(argc, argv, "2");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
