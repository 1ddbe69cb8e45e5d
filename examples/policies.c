/* policies.c: running a job by hand, retries, the overlap policies, a time
 * limit and cancelling a run. Every call is checked in a real host; here the
 * results are printed instead.
 *
 *   cc -std=c99 -pthread policies.c $(pkg-config --cflags --libs quilmarn-crontab) -o policies
 *   ./policies
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <quilmarn_crontab.h>

struct run {
    crontab_t *ct;
    int id;
    int result;
};

static void sleep_ms(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}

/* crontab_run_now returns only when the run has ended, so a run we want to
 * interfere with gets a thread of its own. */
static void *run_now_thread(void *arg) {
    struct run *r = arg;
    r->result = crontab_run_now(r->ct, r->id);
    return NULL;
}

/* 1 while an execution of job `id` is in progress. A real host parses the
 * job list with a JSON library; the compact text lets a search do here. */
static int job_running(crontab_t *ct, int id) {
    char key[32];
    const char *job, *running;
    sprintf(key, "{\"id\":%d,", id);
    job = strstr(crontab_get_jobs_json(ct), key);
    running = job != NULL ? strstr(job, "\"running\":") : NULL;
    return running != NULL && strncmp(running + strlen("\"running\":"), "true", 4) == 0;
}

/* Starts job `id` by hand on a new thread and waits until it runs. */
static void start_run(struct run *r, pthread_t *thread, crontab_t *ct, int id) {
    int i;
    r->ct = ct;
    r->id = id;
    r->result = -1;
    pthread_create(thread, NULL, run_now_thread, r);
    for (i = 0; i < 100 && !job_running(ct, id); ++i) sleep_ms(100);
    sleep_ms(300); /* time for the child itself to start */
}

int main(void) {
    /* No data directory: the jobs of this example live in memory only. */
    crontab_t *ct = crontab_create(NULL);
    struct run slow_run;
    pthread_t thread;
    int flaky, slow, ran, allowed, refused_skip, refused_queue;

    /* 1. Run by hand, with retries. The job is disabled, so the scheduler
     * would never start it, but crontab_run_now runs it on this thread. It
     * returns 0 because the run was carried out; the records tell that all
     * three attempts (the first and two retries) failed. */
    flaky = crontab_add_job(ct, "flaky", "@daily", "echo trying; exit 1", 0);
    crontab_set_job_retry(ct, flaky, 2, 0);
    ran = crontab_run_now(ct, flaky);
    printf("run_now(flaky) = %d\n", ran);
    printf("flaky runs: %s\n", crontab_get_job_logs_json(ct, flaky, 0));

    /* 2. A long run, started by hand on a second thread. */
    slow = crontab_add_job(ct, "slow", "@daily", "sleep 30", 0);
    start_run(&slow_run, &thread, ct, slow);

    /* SKIP (the default) and QUEUE refuse a second run while one is in
     * progress; under QUEUE only the scheduler remembers one due run. */
    refused_skip = crontab_run_now(ct, slow);
    printf("while running, SKIP:  run_now(slow) = %d\n", refused_skip);
    crontab_set_job_overlap_policy(ct, slow, CRONTAB_OVERLAP_QUEUE);
    refused_queue = crontab_run_now(ct, slow);
    printf("while running, QUEUE: run_now(slow) = %d\n", refused_queue);

    /* 3. Cancel it: its child is terminated (0; 1 would mean the child had
     * not started yet, and is then terminated as it starts), the record
     * shows exit code -3, and run_now returns on the other thread. */
    printf("cancel(slow) = %d\n", crontab_cancel_job(ct, slow));
    pthread_join(thread, NULL);
    ran += slow_run.result;
    printf("cancelled run: %s\n", crontab_get_job_logs_json(ct, slow, 1));

    /* 4. ALLOW lets executions of one job run side by side. A time limit of
     * 1 s ends each of them with exit code -2. */
    crontab_set_job_overlap_policy(ct, slow, CRONTAB_OVERLAP_ALLOW);
    crontab_set_job_timeout(ct, slow, 1);
    start_run(&slow_run, &thread, ct, slow);
    allowed = crontab_run_now(ct, slow);
    printf("while running, ALLOW: run_now(slow) = %d\n", allowed);
    pthread_join(thread, NULL);
    ran += allowed + slow_run.result;
    printf("two time-limited runs: %s\n", crontab_get_job_logs_json(ct, slow, 2));

    crontab_destroy(ct);
    return ran == 0 && refused_skip == -1 && refused_queue == -1 ? 0 : 1;
}
