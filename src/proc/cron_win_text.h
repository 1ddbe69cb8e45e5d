// UTF-8 to UTF-16 for the desktop platform's wide-character services. Only
// the platform files of this directory include it.
#pragma once

#include <windows.h>

#include <climits>
#include <cstring>
#include <string>

// Converts `len` bytes of UTF-8; malformed or cut sequences become U+FFFD, as
// MultiByteToWideChar does without flags. Throws std::bad_alloc.
inline std::wstring cron_win_widen(const char* s, size_t len) {
    std::wstring out;
    if (s == nullptr || len == 0 || len > INT_MAX) return out;
    int n = ::MultiByteToWideChar(CP_UTF8, 0, s, static_cast<int>(len), nullptr, 0);
    if (n <= 0) return out;
    out.resize(static_cast<size_t>(n));
    ::MultiByteToWideChar(CP_UTF8, 0, s, static_cast<int>(len), out.data(), n);
    return out;
}

inline std::wstring cron_win_widen(const char* s) {
    return s == nullptr ? std::wstring() : cron_win_widen(s, std::strlen(s));
}
