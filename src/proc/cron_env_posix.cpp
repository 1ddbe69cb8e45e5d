// The child's environment: the process environment with a job's NAME=VALUE
// lines set over it, as one envp block for posix_spawn.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/cron_text.h"
#include "proc/cron_proc.h"

namespace {

// Names and values are cut to this many bytes of the job's text.
constexpr size_t kCutBytes = 255;

struct entry {
    std::string name;
    std::string value;
    bool used = false;
};

// A few more than a job may set: the account's variables under them.
constexpr int kBaseVars = 8;

struct entry_table {
    entry e[CRON_ENV_MAX_VARS + kBaseVars];
    int count = 0;
};

// Lines split only at line feeds; nothing is trimmed, so a carriage return or
// a space stays part of the name or value. The first '=' splits.
void parse(std::string_view text, entry_table& t, int limit = CRON_ENV_MAX_VARS, size_t cut = kCutBytes) {
    while (!text.empty() && t.count < limit) {
        size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        // A cut can split a character; its broken tail becomes U+FFFD rather
        // than reaching the child as a malformed sequence.
        entry& e = t.e[t.count++];
        e.name = cron_utf8_sanitize(line.substr(0, eq).substr(0, cut));
        e.value = cron_utf8_sanitize(line.substr(eq + 1).substr(0, cut));
    }
}

// The first entry, in text order, naming the variable of `parent`. Names
// compare case-sensitively and a prefix does not match.
entry* match(std::string_view parent, entry_table& t) {
    for (int i = 0; i < t.count; ++i) {
        const std::string& name = t.e[i].name;
        if (parent.size() > name.size() && parent[name.size()] == '=' &&
            parent.compare(0, name.size(), name) == 0)
            return &t.e[i];
    }
    return nullptr;
}

size_t entry_size(const entry& e) { return e.name.size() + 1 + e.value.size() + 1; }

char* put_entry(char* p, const entry& e) {
    std::memcpy(p, e.name.data(), e.name.size());
    p += e.name.size();
    *p++ = '=';
    std::memcpy(p, e.value.data(), e.value.size());
    p += e.value.size();
    *p++ = '\0';
    return p;
}

}  // namespace

namespace {

cron_env_block_t build(entry_table& t) {
    // A cleared environment (environ null) is empty: the job's entries still apply.
    char** parent = environ;
    size_t parent_count = 0;
    while (parent != nullptr && parent[parent_count] != nullptr) ++parent_count;

    // Counting pass. Each parent string yields exactly one string (itself or
    // its replacement), so two parent names replaced by one entry are counted twice.
    size_t strings = 0;
    size_t bytes = 0;
    for (size_t i = 0; i < parent_count; ++i) {
        std::string_view s(parent[i]);
        entry* e = match(s, t);
        if (e != nullptr) {
            e->used = true;
            bytes += entry_size(*e);
        } else {
            bytes += s.size() + 1;
        }
        ++strings;
    }
    for (int i = 0; i < t.count; ++i) {
        if (t.e[i].used) continue;
        bytes += entry_size(t.e[i]);
        ++strings;
    }

    size_t table = (strings + 1) * sizeof(char*);
    auto* block = static_cast<char**>(std::malloc(table + bytes));
    if (block == nullptr) return nullptr;
    char* p = reinterpret_cast<char*>(block) + table;
    size_t k = 0;
    for (size_t i = 0; i < parent_count; ++i) {
        std::string_view s(parent[i]);
        block[k++] = p;
        if (const entry* e = match(s, t)) {
            p = put_entry(p, *e);
        } else {
            std::memcpy(p, s.data(), s.size());
            p += s.size();
            *p++ = '\0';
        }
    }
    for (int i = 0; i < t.count; ++i) {
        if (t.e[i].used) continue;
        block[k++] = p;
        p = put_entry(p, t.e[i]);
    }
    block[k] = nullptr;
    return block;
}

}  // namespace

cron_env_block_t cron_build_env_block(const char* env_text) {
    if (env_text == nullptr || *env_text == '\0') return nullptr;
    entry_table t;
    parse(env_text, t);
    if (t.count == 0) return nullptr;
    return build(t);
}

cron_env_block_t cron_build_env_block_over(const char* base_text, const char* env_text) {
    entry_table t;
    if (env_text != nullptr) parse(env_text, t);
    entry_table base;
    // The account's values are whole: a home cut short would name another directory.
    if (base_text != nullptr) parse(base_text, base, kBaseVars, std::string_view::npos);
    for (int i = 0; i < base.count; ++i) {
        bool named = false;
        for (int k = 0; k < t.count && !named; ++k) named = t.e[k].name == base.e[i].name;
        if (!named) t.e[t.count++] = std::move(base.e[i]);
    }
    if (t.count == 0) return nullptr;
    return build(t);
}
