// The child's environment on the desktop platform: the process environment
// as a UTF-16 block with the job's NAME=VALUE lines set over it.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string_view>

#include "proc/cron_proc.h"

namespace {

constexpr size_t ENV_TEXT_CUT = 255;  // bytes kept of a name and of a value
// 255 bytes of UTF-8 never need more than 255 UTF-16 units.
constexpr size_t ENV_ROOM = ENV_TEXT_CUT + 1;

struct env_entry {
    wchar_t name[ENV_ROOM];
    wchar_t value[ENV_ROOM];
    size_t name_len;
    size_t value_len;
    bool used;  // has replaced a variable of the parent environment
};

size_t widen_into(const char* s, size_t len, wchar_t* dst) {
    if (len == 0) return 0;
    int n = ::MultiByteToWideChar(CP_UTF8, 0, s, static_cast<int>(len), dst, static_cast<int>(ENV_ROOM - 1));
    size_t units = n > 0 ? static_cast<size_t>(n) : 0;
    dst[units] = L'\0';
    return units;
}

// Lines NAME=VALUE split at line feeds only; nothing is trimmed. At most
// CRON_ENV_MAX_VARS entries; the rest of the text is ignored.
int parse_env(const char* text, env_entry* table) {
    int count = 0;
    const char* p = text;
    while (*p != '\0' && count < CRON_ENV_MAX_VARS) {
        const char* lf = std::strchr(p, '\n');
        std::string_view line(p, lf != nullptr ? static_cast<size_t>(lf - p) : std::strlen(p));
        size_t eq = line.find('=');
        if (eq != std::string_view::npos && eq != 0) {
            env_entry& e = table[count++];
            std::string_view value = line.substr(eq + 1);
            e.name_len = widen_into(line.data(), std::min(eq, ENV_TEXT_CUT), e.name);
            e.value_len = widen_into(value.data(), std::min(value.size(), ENV_TEXT_CUT), e.value);
            e.used = false;
        }
        p = lf != nullptr ? lf + 1 : p + line.size();
    }
    return count;
}

// The parent string `s` ("NAME=VALUE") sets the entry's variable: the same
// name without regard to case, and not merely a prefix of it.
bool names_match(const wchar_t* s, const env_entry& e) {
    for (size_t k = 0; k < e.name_len; ++k) {
        if (s[k] == L'\0' || s[k] == L'=') return false;
        if (static_cast<wchar_t>(std::towlower(s[k])) != static_cast<wchar_t>(std::towlower(e.name[k])))
            return false;
    }
    return s[e.name_len] == L'=';
}

env_entry* find_entry(const wchar_t* s, env_entry* table, int count) {
    for (int i = 0; i < count; ++i)
        if (names_match(s, table[i])) return &table[i];
    return nullptr;
}

wchar_t* put_entry(wchar_t* out, const env_entry& e) {
    out = std::wmemcpy(out, e.name, e.name_len) + e.name_len;
    *out++ = L'=';
    out = std::wmemcpy(out, e.value, e.value_len) + e.value_len;
    *out++ = L'\0';
    return out;
}

struct parent_env {
    wchar_t* block = ::GetEnvironmentStringsW();
    parent_env() = default;
    parent_env(const parent_env&) = delete;
    parent_env& operator=(const parent_env&) = delete;
    ~parent_env() {
        if (block != nullptr) ::FreeEnvironmentStringsW(block);
    }
};

}  // namespace

cron_env_block_t cron_build_env_block(const char* env_text) {
    if (env_text == nullptr || *env_text == '\0') return nullptr;
    env_entry table[CRON_ENV_MAX_VARS];
    int count = parse_env(env_text, table);
    if (count == 0) return nullptr;

    parent_env parent;
    if (parent.block == nullptr) return nullptr;

    // Sized by the same matching as the writing pass, so a parent holding one
    // name twice in different case (both strings replaced) still fits.
    size_t units = 2;
    for (const wchar_t* s = parent.block; *s != L'\0'; s += std::wcslen(s) + 1) {
        const env_entry* e = find_entry(s, table, count);
        units += e != nullptr ? e->name_len + e->value_len + 2 : std::wcslen(s) + 1;
    }
    for (int i = 0; i < count; ++i) units += table[i].name_len + table[i].value_len + 2;

    auto* block = static_cast<wchar_t*>(std::calloc(units, sizeof(wchar_t)));
    if (block == nullptr) return nullptr;
    wchar_t* out = block;
    for (const wchar_t* s = parent.block; *s != L'\0'; s += std::wcslen(s) + 1) {
        env_entry* e = find_entry(s, table, count);
        if (e != nullptr) {
            // In place, with the name as the job writes it.
            out = put_entry(out, *e);
            e->used = true;
        } else {
            size_t len = std::wcslen(s) + 1;
            out = std::wmemcpy(out, s, len) + len;
        }
    }
    for (int i = 0; i < count; ++i)
        if (!table[i].used) out = put_entry(out, table[i]);
    *out = L'\0';
    return block;
}
