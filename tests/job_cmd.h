// Job commands for the runner, execution and scheduler tests, written once as
// steps: POSIX shell text, or on the desktop platform the steps of the
// qc_child helper run through cmd.exe.
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
#    include "win/win_util.h"
#else
#    include <signal.h>

#    include <fstream>
#    include <iterator>
#endif

class job_cmd {
public:
    job_cmd& print(const std::string& text) { return add("echo " + text, "print " + text); }
    job_cmd& print_err(const std::string& text) { return add("echo " + text + " >&2", "print-err " + text); }
    // These exact bytes, whatever they are, on standard output or error.
    job_cmd& raw(const std::string& bytes, bool to_err = false) {
        std::string octal, hex;
        char b[8];
        for (unsigned char c : bytes) {
            std::snprintf(b, sizeof b, "\\%03o", c);
            octal += b;
            std::snprintf(b, sizeof b, "%02x", c);
            hex += b;
        }
        return add("printf '" + octal + "'" + (to_err ? " >&2" : ""), (to_err ? "raw-err " : "raw ") + hex);
    }
    // `bytes` bytes of "a" on standard output or error.
    job_cmd& output(long bytes, bool to_err = false) {
        std::string n = std::to_string(bytes);
        return add("head -c " + n + " /dev/zero | tr '\\0' a" + (to_err ? " >&2" : ""),
                   (to_err ? "err " : "out ") + n);
    }
    job_cmd& sleep_ms(long ms) { return add("sleep " + seconds(ms), "sleep " + std::to_string(ms)); }
    // The variable's value, or "<unset>", with no line end.
    job_cmd& env(const std::string& name) {
        return add("printf '%s' \"${" + name + "-<unset>}\"", "env " + name);
    }
    // A process sleeping `ms` in the background on this one's output, its id
    // written to `pid_file` once it runs.
    job_cmd& spawn(const std::string& pid_file, long ms) {
        return add("sleep " + seconds(ms) + " & echo $! > " + q(pid_file),
                   "spawn " + q(pid_file) + " " + std::to_string(ms));
    }
    job_cmd& touch(const std::string& file) { return add("touch " + q(file), "touch " + q(file)); }
    // A file named by the process's id, holding it, in `dir`.
    job_cmd& pid_file(const std::string& dir) {
        return add("echo $$ > " + q(dir) + "/$$", "pid-file " + q(dir));
    }
    job_cmd& wait_for(const std::string& file) {
        return add("while [ ! -e " + q(file) + " ]; do sleep 0.05; done", "wait-for " + q(file));
    }
    job_cmd& exit_with(int code) {
        return add("exit " + std::to_string(code), "exit " + std::to_string(code));
    }
    job_cmd& exit_if(const std::string& file, int code) {
        std::string c = std::to_string(code);
        return add("[ -e " + q(file) + " ] && exit " + c, "exit-if " + q(file) + " " + c);
    }

    operator std::string() const {
#ifdef _WIN32
        // By its full path and unquoted: cmd.exe strips a leading quote
        // together with the last one on the line.
        return win_test::bin_dir() + "\\qc_child.exe" + text_;
#else
        return text_;
#endif
    }

private:
    job_cmd& add(const std::string& posix, const std::string& win) {
#ifdef _WIN32
        (void)posix;
        text_ += " " + win;
#else
        (void)win;
        text_ += (text_.empty() ? "" : "; ") + posix;
#endif
        return *this;
    }
    static std::string seconds(long ms) {
        return std::to_string(ms / 1000) + "." + std::to_string(1000 + ms % 1000).substr(1);
    }
    static std::string q(const std::string& s) {
#ifdef _WIN32
        return "\"" + s + "\"";
#else
        return "'" + s + "'";
#endif
    }

    std::string text_;
};

// Whether the process with this id still runs; a zombie has ended.
inline bool process_alive(long pid) {
#ifdef _WIN32
    return win_test::process_alive(static_cast<unsigned long>(pid));
#else
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
#endif
}

// Ends a process a test left running.
inline void end_process(long pid) {
#ifdef _WIN32
    win_test::end_process(static_cast<unsigned long>(pid));
#else
    ::kill(static_cast<pid_t>(pid), SIGKILL);
#endif
}
