// The daemon's control socket: "quilmarn-cron.sock" in the data directory.
// A client sends one request (a command line and the text of its standard
// input) and reads one answer (exit status, output and error text); the
// daemon carries out the command against its own instance. Both sides bound
// every size and the daemon times out slow peers, so a hostile client can
// neither crash it nor hold it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

constexpr const char* CTL_SOCKET_NAME = "quilmarn-cron.sock";

struct ctl_request {
    std::vector<std::string> argv;  // the command and its arguments
    std::string input;              // what the command reads as standard input
};

struct ctl_response {
    int status = 1;
    std::string out, err;
};

// The credentials of the peer of a connected socket.
struct ctl_peer {
    pid_t pid = 0;
    uid_t uid = 0;
};

// A connection to the daemon of `dir`, or -1 with errno set: ENOENT or
// ECONNREFUSED when no daemon serves there. A server other than root, our
// own user or the owner of the directory is refused with EPERM: the owner
// runs the directory's daemon in a service with User=, and root may talk to
// it; any other server could be a socket planted to hear our commands.
int cron_ctl_connect(const std::string& dir, ctl_peer* server);

enum class ctl_result {
    answered,  // *resp holds the daemon's answer
    busy,      // the daemon took nothing: try again (*why says why)
    failed,    // the connection failed; the command may or may not have been done
};

// Sends the request and waits (without a bound: a run may take long) for the
// answer.
ctl_result cron_ctl_call(int fd, const ctl_request& req, ctl_response* resp, std::string* why);

// Listens on the socket of `dir`, mode 0600. A socket left by a daemon that
// died is replaced; anything else of that name is refused. -1 with the
// reason in *why.
int cron_ctl_listen(const std::string& dir, std::string* why);

// Removes the socket of `dir` (the caller owns the directory).
void cron_ctl_unlink(const std::string& dir);

// On an accepted connection: the peer may control the daemon (root or the
// daemon's own user).
bool cron_ctl_peer_allowed(int fd, ctl_peer* peer);

// The bytes of an answer, and of the answer that says the daemon is too busy
// to take the request: a frame of its own, so that a client can tell
// "nothing was done" from a command's own failure and from a lost connection.
std::string cron_ctl_answer_frame(const ctl_response& resp);
std::string cron_ctl_busy_frame(const std::string& reason);

// Writes a frame, waiting at most `wait_ms` for a slow reader (0: only what
// the socket takes at once). False when it was not written whole.
bool cron_ctl_send(int fd, const std::string& frame, int wait_ms);

// The most a request's input may hold: well above the largest file import
// reads.
constexpr size_t CTL_MAX_INPUT = 4u << 20;
