#include "sched/cron_events.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "proc/cron_os.h"
#include "proc/cron_signal.h"
#include "sched/cron_job.h"

namespace {

void copy_name(char* dst, const char* name) {
    const size_t n = name != nullptr ? strnlen(name, CRONTAB_NAME_MAX) : 0;
    if (n > 0) std::memcpy(dst, name, n);
    dst[n] = '\0';
}

// Copies `len` bytes into the byte ring at absolute position `pos`.
void ring_write(cron_feed_t& f, uint64_t pos, const char* src, size_t len) {
    while (len > 0) {
        const size_t at = static_cast<size_t>(pos % CRON_EVENT_TEXT_BYTES);
        const size_t n = std::min(len, CRON_EVENT_TEXT_BYTES - at);
        std::memcpy(f.text + at, src, n);
        pos += n;
        src += n;
        len -= n;
    }
}

void ring_read(const cron_feed_t& f, uint64_t pos, size_t len, std::string* out) {
    out->clear();
    out->reserve(len);
    while (len > 0) {
        const size_t at = static_cast<size_t>(pos % CRON_EVENT_TEXT_BYTES);
        const size_t n = std::min(len, CRON_EVENT_TEXT_BYTES - at);
        out->append(f.text + at, n);
        pos += n;
        len -= n;
    }
}

}  // namespace

cron_event_t* cron_event_push_as(crontab_t* ct, cron_event_kind kind, int32_t job_id, const char* name) {
    cron_feed_t& f = ct->feed;
    cron_shared_t& sh = *ct->shared;
    const uint64_t seq = ++f.last_seq;
    if (seq > CRON_EVENT_CAPACITY && seq - CRON_EVENT_CAPACITY > f.read_seq) ++f.lost;
    cron_event_t* ev = &f.ring[seq % CRON_EVENT_CAPACITY];
    // Only the head: the name is zero-terminated, and every kind writes the
    // members it uses.
    std::memset(ev, 0, offsetof(cron_event_t, job_name));
    ev->seq = seq;
    ev->time_ms = cron_os_now_ms();
    ev->kind = static_cast<int32_t>(kind);
    ev->job_id = job_id;
    copy_name(ev->job_name, job_id != 0 ? name : nullptr);
    if (sh.event_waiters > 0) sh.events_cv.notify_all();
    if (sh.events_fd >= 0 && !sh.events_fd_raised) {
        cron_signal_raise(sh.events_fd);
        sh.events_fd_raised = true;
    }
    return ev;
}

cron_event_t* cron_event_push(crontab_t* ct, cron_event_kind kind, const cron_job_t* job) {
    return job != nullptr ? cron_event_push_as(ct, kind, job->id, job->name)
                          : cron_event_push_as(ct, kind, 0, nullptr);
}

void cron_event_put_text(crontab_t* ct, cron_event_t* ev, const char* a, size_t a_len, const char* b,
                         size_t b_len) {
    cron_feed_t& f = ct->feed;
    ev->text_pos = f.text_written;
    ev->text_len[0] = static_cast<uint32_t>(a_len);
    ev->text_len[1] = static_cast<uint32_t>(b_len);
    ring_write(f, f.text_written, a, a_len);
    ring_write(f, f.text_written + a_len, b, b_len);
    f.text_written += a_len + b_len;
}

bool cron_event_copy_text(const crontab_t* ct, const cron_event_t& ev, std::string* first,
                          std::string* second) {
    const cron_feed_t& f = ct->feed;
    // Texts written after this event's have reached its bytes.
    if (f.text_written - ev.text_pos > CRON_EVENT_TEXT_BYTES) {
        first->clear();
        second->clear();
        return false;
    }
    ring_read(f, ev.text_pos, ev.text_len[0], first);
    ring_read(f, ev.text_pos + ev.text_len[0], ev.text_len[1], second);
    return true;
}

uint64_t cron_event_oldest(const crontab_t* ct) {
    const uint64_t last = ct->feed.last_seq;
    return last >= CRON_EVENT_CAPACITY ? last - CRON_EVENT_CAPACITY + 1 : 1;
}

const cron_event_t* cron_event_at(const crontab_t* ct, uint64_t seq) {
    if (seq == 0 || seq > ct->feed.last_seq || seq < cron_event_oldest(ct)) return nullptr;
    return &ct->feed.ring[seq % CRON_EVENT_CAPACITY];
}

void cron_events_mark_read(crontab_t* ct, uint64_t seq) {
    cron_feed_t& f = ct->feed;
    cron_shared_t& sh = *ct->shared;
    f.read_seq = std::max(f.read_seq, std::min(seq, f.last_seq));
    if (f.read_seq >= f.last_seq && sh.events_fd_raised) {
        cron_signal_lower(sh.events_fd);
        sh.events_fd_raised = false;
    }
}

int cron_events_wait(crontab_t* ct, uint64_t after, int64_t timeout_ms) {
    cron_shared_t& sh = *ct->shared;
    std::unique_lock<std::mutex> lk(sh.lock);
    auto ready = [&] { return ct->feed.last_seq > after; };
    if (ready()) return 1;
    if (timeout_ms == 0) return 0;
    ++sh.event_waiters;
    bool got;
    if (timeout_ms < 0) {
        sh.events_cv.wait(lk, ready);
        got = true;
    } else {
        got = sh.events_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready);
    }
    --sh.event_waiters;
    return got ? 1 : 0;
}

intptr_t cron_events_fd(crontab_t* ct) {
    cron_shared_t& sh = *ct->shared;
    if (sh.events_fd < 0) {
        sh.events_fd = cron_signal_open();
        if (sh.events_fd < 0) return -1;
        sh.events_fd_raised = false;
    }
    if (!sh.events_fd_raised && ct->feed.last_seq > ct->feed.read_seq) {
        cron_signal_raise(sh.events_fd);
        sh.events_fd_raised = true;
    }
    return sh.events_fd;
}
