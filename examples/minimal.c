/* minimal.c: the smallest complete host. It keeps its jobs in a data
 * directory, runs one job every second in the background, waits for the
 * first run, prints the job list and the run log, and ends.
 *
 *   cc -std=c99 minimal.c $(pkg-config --cflags --libs quilmarn-crontab) -o minimal
 *   ./minimal [DATA_DIR]
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <quilmarn_crontab.h>

static void sleep_ms(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}

int main(int argc, char **argv) {
    const char *data_dir = argc > 1 ? argv[1] : "minimal-data";
    int id, waited_ms = 0;

    /* Creates the directory if needed and loads data_dir/crontab.json. */
    crontab_t *ct = crontab_create(data_dir);
    if (ct == NULL) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }

    /* Every change is saved to crontab.json at once. */
    id = crontab_add_job(ct, "hello", "@every 1s", "echo hello from the minimal host", 1);
    if (id < 0 || crontab_start(ct) != 0) {
        fprintf(stderr, "could not add the job or start the scheduler\n");
        crontab_destroy(ct);
        return 1;
    }

    /* Jobs run on the library's threads; poll the run log for the first
     * record, for at most 10 s. */
    while (strcmp(crontab_get_job_logs_json(ct, id, 1), "[]") == 0 && waited_ms < 10000) {
        sleep_ms(100);
        waited_ms += 100;
    }

    /* Both reports share one buffer owned by the instance: use (or copy)
     * each text before asking for the next. */
    printf("jobs: %s\n", crontab_get_jobs_json(ct));
    printf("runs: %s\n", crontab_get_job_logs_json(ct, id, 5));

    /* Leave the data directory as we found it for the next start. */
    crontab_delete_job(ct, id);
    crontab_destroy(ct);
    return waited_ms < 10000 ? 0 : 1;
}
