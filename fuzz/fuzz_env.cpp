// Any bytes as a job's environment text, over a few parent environments: the
// block must be exactly the parent with the job's variables set over it, as a
// plain model of the rules computes it.
//
// Input: byte 0 picks the parent environment, the rest is the text (an
// embedded zero ends it, as it would for a C caller).
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "base/cron_text.h"
#include "proc/cron_proc.h"

extern "C" char** environ;

namespace {

using strings = std::vector<std::string>;

// Parent environments: the common shape, look-alike names, strings without
// "=", long and non-UTF-8 values, and none at all.
std::vector<strings> parents = {
    {"PATH=/usr/bin:/bin", "HOME=/root", "A=1", "a=2", "AB=3", "NOEQ", "=hidden", "E="},
    {"X=" + std::string(300, 'x'), "Y=\xff\xfe", "Z=z"},
    {},
};
std::vector<std::vector<char*>> parent_ptrs;

struct entry {
    std::string name, value;
    bool used = false;
};

// The rules, written plainly: lines at line feeds, split at the first "=",
// names and values cut to 255 bytes (a cut character becomes U+FFFD), at most
// 32 entries; the first entry of a name replaces each parent string of that
// name in place, the entries left over follow in text order.
strings model(std::string_view text, const strings& parent, bool* any) {
    std::vector<entry> entries;
    while (!text.empty() && entries.size() < CRON_ENV_MAX_VARS) {
        size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        entries.push_back({cron_utf8_sanitize(line.substr(0, eq).substr(0, 255)),
                           cron_utf8_sanitize(line.substr(eq + 1).substr(0, 255))});
    }
    *any = !entries.empty();
    strings out;
    for (const std::string& p : parent) {
        entry* hit = nullptr;
        for (entry& e : entries) {
            if (p.size() > e.name.size() && p[e.name.size()] == '=' &&
                p.compare(0, e.name.size(), e.name) == 0) {
                hit = &e;
                break;
            }
        }
        if (hit == nullptr) {
            out.push_back(p);
        } else {
            hit->used = true;
            out.push_back(hit->name + "=" + hit->value);
        }
    }
    for (const entry& e : entries)
        if (!e.used) out.push_back(e.name + "=" + e.value);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (strings& p : parents) {
        std::vector<char*> ptrs;
        for (std::string& s : p) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
        parent_ptrs.push_back(std::move(ptrs));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    if (size == 0 || size > 8192) return 0;
    size_t which = data[0] % (parents.size() + 1);
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    text.resize(std::strlen(text.c_str()));

    char** saved = environ;
    // The last choice is a cleared environment: environ itself is null.
    environ = which < parents.size() ? parent_ptrs[which].data() : nullptr;
    const strings& parent = which < parents.size() ? parents[which] : strings{};
    char** block = cron_build_env_block(text.c_str());
    environ = saved;

    bool any = false;
    strings want = model(text, parent, &any);
    FUZZ_CHECK((block != nullptr) == any);
    if (block == nullptr) return 0;
    strings got;
    for (char** p = block; *p != nullptr; ++p) got.emplace_back(*p);
    std::free(block);
    FUZZ_CHECK(got == want);
    return 0;
}
