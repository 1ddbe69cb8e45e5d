// Helpers of the desktop platform's tests: UTF-8 text, the folder of the test
// program (which also holds qc_child.exe), whether a process still runs, and
// ending one.
#pragma once

#include <windows.h>

#include <string>

namespace win_test {

inline std::string utf8(const std::wstring& w) {
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                                  nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

inline const std::string& bin_dir() {
    static const std::string dir = [] {
        wchar_t path[MAX_PATH];
        DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring w(path, n);
        return utf8(w.substr(0, w.find_last_of(L"\\/")));
    }();
    return dir;
}

inline bool process_alive(DWORD pid) {
    HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (h == nullptr) return false;
    bool alive = ::WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    ::CloseHandle(h);
    return alive;
}

inline void end_process(DWORD pid) {
    HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (h == nullptr) return;
    ::TerminateProcess(h, 1);
    ::CloseHandle(h);
}

}  // namespace win_test
