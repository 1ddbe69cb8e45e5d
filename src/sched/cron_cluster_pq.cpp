#include "sched/cron_cluster_pq.h"

#include <poll.h>

#include <algorithm>
#include <mutex>

#include <libpq-fe.h>

#include "proc/cron_cluster_os.h"
#include "proc/cron_os.h"

namespace {

// libpq's functions as loaded; their types come from its header.
struct pq_api {
    decltype(&PQconnectStart) connect_start;
    decltype(&PQconnectPoll) connect_poll;
    decltype(&PQstatus) status;
    decltype(&PQsocket) socket;
    decltype(&PQfinish) finish;
    decltype(&PQerrorMessage) error_message;
    decltype(&PQsetnonblocking) set_nonblocking;
    decltype(&PQsendQueryParams) send_query_params;
    decltype(&PQflush) flush;
    decltype(&PQconsumeInput) consume_input;
    decltype(&PQisBusy) is_busy;
    decltype(&PQgetResult) get_result;
    decltype(&PQresultStatus) result_status;
    decltype(&PQresultErrorMessage) result_error_message;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQclear) clear;
    decltype(&PQconninfoParse) conninfo_parse;
    decltype(&PQconninfoFree) conninfo_free;
    decltype(&PQfreemem) freemem;
    decltype(&PQsetNoticeProcessor) set_notice_processor;
};

pq_api pq;
std::once_flag pq_once;
std::string pq_failure;  // set once by the loader; empty when libpq is there

template <typename F>
bool take(void* lib, const char* name, F* out) {
    *out = reinterpret_cast<F>(cron_dl_symbol(lib, name));
    if (*out == nullptr) pq_failure = std::string("libpq.so.5 has no ") + name;
    return *out != nullptr;
}

void load() {
    void* lib = cron_dl_open("libpq.so.5", &pq_failure);
    if (lib == nullptr) {
        pq_failure = "libpq.so.5 could not be loaded (" + pq_failure + ")";
        return;
    }
    (void)(take(lib, "PQconnectStart", &pq.connect_start) && take(lib, "PQconnectPoll", &pq.connect_poll) &&
           take(lib, "PQstatus", &pq.status) && take(lib, "PQsocket", &pq.socket) &&
           take(lib, "PQfinish", &pq.finish) && take(lib, "PQerrorMessage", &pq.error_message) &&
           take(lib, "PQsetnonblocking", &pq.set_nonblocking) &&
           take(lib, "PQsendQueryParams", &pq.send_query_params) && take(lib, "PQflush", &pq.flush) &&
           take(lib, "PQconsumeInput", &pq.consume_input) && take(lib, "PQisBusy", &pq.is_busy) &&
           take(lib, "PQgetResult", &pq.get_result) && take(lib, "PQresultStatus", &pq.result_status) &&
           take(lib, "PQresultErrorMessage", &pq.result_error_message) &&
           take(lib, "PQntuples", &pq.ntuples) && take(lib, "PQnfields", &pq.nfields) &&
           take(lib, "PQgetvalue", &pq.getvalue) && take(lib, "PQclear", &pq.clear) &&
           take(lib, "PQconninfoParse", &pq.conninfo_parse) &&
           take(lib, "PQconninfoFree", &pq.conninfo_free) && take(lib, "PQfreemem", &pq.freemem) &&
           take(lib, "PQsetNoticeProcessor", &pq.set_notice_processor));
}

// libpq's messages end in a newline; a sentence of ours does not.
std::string trimmed(const char* text) {
    std::string s = text != nullptr ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "unknown error" : s;
}

// Waits until the socket is readable or writable as asked, or the deadline.
bool wait_socket(PGconn* conn, bool for_write, int64_t deadline_ms) {
    const int64_t left = deadline_ms - cron_os_monotonic_ms();
    if (left <= 0) return false;
    pollfd p{pq.socket(conn), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    if (p.fd < 0) return false;
    return poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 60000))) > 0;
}

}  // namespace

struct cron_pq_conn {
    PGconn* conn;
};

bool cron_pq_load(std::string* why) {
    std::call_once(pq_once, load);
    if (!pq_failure.empty()) *why = pq_failure;
    return pq_failure.empty();
}

bool cron_pq_conninfo_valid(const char* conninfo, std::string* why) {
    char* err = nullptr;
    PQconninfoOption* opts = pq.conninfo_parse(conninfo, &err);
    if (opts == nullptr) {
        *why = trimmed(err != nullptr ? err : "the connection string does not parse");
        if (err != nullptr) pq.freemem(err);
        return false;
    }
    pq.conninfo_free(opts);
    return true;
}

void cron_pq_close(cron_pq_conn* c) {
    if (c == nullptr) return;
    pq.finish(c->conn);
    delete c;
}

cron_pq_conn* cron_pq_connect(const char* conninfo, int64_t deadline_ms, std::string* why) {
    PGconn* conn = pq.connect_start(conninfo);
    if (conn == nullptr) {
        *why = "no memory for a connection";
        return nullptr;
    }
    PostgresPollingStatusType st =
        pq.status(conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (st != PGRES_POLLING_OK && st != PGRES_POLLING_FAILED) {
        if (!wait_socket(conn, st == PGRES_POLLING_WRITING, deadline_ms)) {
            *why = "the connection was not made in time";
            pq.finish(conn);
            return nullptr;
        }
        st = pq.connect_poll(conn);
    }
    // The server's notices ("relation already exists") would go to the host's
    // stderr.
    pq.set_notice_processor(
        conn, [](void*, const char*) {}, nullptr);
    if (st == PGRES_POLLING_FAILED || pq.set_nonblocking(conn, 1) != 0) {
        *why = trimmed(pq.error_message(conn));
        pq.finish(conn);
        return nullptr;
    }
    return new cron_pq_conn{conn};
}

bool cron_pq_exec(cron_pq_conn* c, const char* sql, const std::vector<std::string>& params,
                  int64_t deadline_ms, std::vector<std::vector<std::string>>* rows, std::string* why,
                  bool* broken) {
    PGconn* conn = c->conn;
    *broken = true;
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    if (pq.status(conn) != CONNECTION_OK ||
        pq.send_query_params(conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                             nullptr, 0) == 0) {
        *why = trimmed(pq.error_message(conn));
        return false;
    }
    for (int f; (f = pq.flush(conn)) != 0;) {
        if (f < 0 || !wait_socket(conn, true, deadline_ms)) {
            *why = f < 0 ? trimmed(pq.error_message(conn)) : "the database did not answer in time";
            return false;
        }
    }
    bool ok = true;
    rows->clear();
    for (;;) {
        while (pq.is_busy(conn)) {
            if (!wait_socket(conn, false, deadline_ms)) {
                *why = "the database did not answer in time";
                return false;
            }
            if (pq.consume_input(conn) == 0) {
                *why = trimmed(pq.error_message(conn));
                return false;
            }
        }
        PGresult* res = pq.get_result(conn);
        if (res == nullptr) break;
        const ExecStatusType st = pq.result_status(res);
        if (st == PGRES_TUPLES_OK) {
            for (int r = 0; r < pq.ntuples(res); ++r) {
                std::vector<std::string> row;
                for (int f = 0; f < pq.nfields(res); ++f) row.emplace_back(pq.getvalue(res, r, f));
                rows->push_back(std::move(row));
            }
        } else if (st != PGRES_COMMAND_OK && ok) {
            ok = false;
            *why = trimmed(pq.result_error_message(res));
        }
        pq.clear(res);
    }
    *broken = pq.status(conn) != CONNECTION_OK;
    return ok;
}
