// Tells when a file may have changed, with inotify on its directory rather
// than on the file: an editor that saves by renaming a new file over it, or
// a mounted configuration that swaps a link to a new directory, replaces the
// file a watch on it would follow. The directory of the file a link leads to
// is watched too, so an edit there is seen.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "dir_files.h"

class file_watch {
public:
    file_watch() = default;
    ~file_watch() { stop(); }
    file_watch(const file_watch&) = delete;
    file_watch& operator=(const file_watch&) = delete;

    // Watches `path` (absolute) and calls `changed` on a thread of its own
    // once the directory has been quiet for a quarter second after a change
    // (at most a second after the first), until stop(). The call may come
    // for a change to another file of the directory: the caller compares.
    // False, with *why, when no watch can be set.
    bool start(const std::string& path, std::function<void()> changed, std::string* why);

    // Returns once a call in progress has returned; no call comes after.
    void stop();

private:
    void loop();
    void follow_link();

    std::string path_;
    unique_fd inotify_, stop_;
    int dir_wd_ = -1;   // the watch on the file's directory
    int link_wd_ = -1;  // the watch on the directory a link leads to, when another
    std::string link_dir_;
    std::function<void()> changed_;
    std::thread thread_;
};
