// Job commands for the execution and scheduler tests, written once as steps:
// POSIX shell text, or on the desktop platform the steps of the qc_child
// helper run through cmd.exe.
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
#include "win/win_util.h"
#else
#include <filesystem>
#include <sys/types.h>
#endif

class job_cmd {
public:
    job_cmd& print(const std::string& text) { return add("echo " + text, "print " + text); }
    job_cmd& print_err(const std::string& text) {
        return add("echo " + text + " >&2", "print-err " + text);
    }
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
        return add("printf '" + octal + "'" + (to_err ? " >&2" : ""),
                   (to_err ? "raw-err " : "raw ") + hex);
    }
    // `bytes` bytes of text on standard output.
    job_cmd& output(long bytes) {
        std::string n = std::to_string(bytes);
        return add("head -c " + n + " /dev/zero | tr '\\0' a", "out " + n);
    }
    job_cmd& sleep_ms(long ms) {
        std::string frac = std::to_string(1000 + ms % 1000).substr(1);
        return add("sleep " + std::to_string(ms / 1000) + "." + frac, "sleep " + std::to_string(ms));
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
    static std::string q(const std::string& s) {
#ifdef _WIN32
        return "\"" + s + "\"";
#else
        return "'" + s + "'";
#endif
    }

    std::string text_;
};

// Whether the process with this id still runs.
inline bool process_alive(long pid) {
#ifdef _WIN32
    return win_test::process_alive(static_cast<unsigned long>(pid));
#else
    return std::filesystem::exists("/proc/" + std::to_string(pid));
#endif
}
