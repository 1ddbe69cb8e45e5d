#include "labels.h"

#include <cstdlib>

#include "dir_files.h"

namespace {

const char FILE_NAME[] = "quilmarn-cron.labels";
constexpr size_t FILE_MAX = 1u << 20;  // 128 jobs of labels far shorter

}  // namespace

std::map<int, std::string> cron_labels_read(const std::string& dir) {
    std::map<int, std::string> labels;
    unique_fd dirfd = cron_dir_open(dir);
    std::string text;
    if (!dirfd || cron_dir_read(dirfd.get(), FILE_NAME, FILE_MAX, &text) != 0) return labels;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const size_t tab = text.find('\t', at);
        if (tab < end) {
            const int id = std::atoi(text.substr(at, tab - at).c_str());
            if (id > 0) labels[id] = text.substr(tab + 1, end - tab - 1);
        }
        at = end + 1;
    }
    return labels;
}

bool cron_labels_write(const std::string& dir, const std::map<int, std::string>& labels) {
    std::string text;
    for (const auto& [id, label] : labels) text += std::to_string(id) + "\t" + label + "\n";
    unique_fd dirfd = cron_dir_open(dir);
    return dirfd && cron_dir_replace(dirfd.get(), FILE_NAME, text) == 0;
}
