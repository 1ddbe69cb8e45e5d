// A command for the runner, execution and scheduler tests on the desktop
// platform, where the usual small POSIX tools are missing. It runs its steps
// in order:
//   sleep MS            sleeps
//   out N | err N       writes N bytes "a" to standard output / error
//   print TEXT          writes TEXT and a line feed to standard output
//   print-err TEXT      the same to standard error
//   raw HEX | raw-err HEX   writes the bytes spelt in hexadecimal
//   env NAME            prints the variable's value, or "<unset>"
//   touch FILE          creates FILE
//   pid-file DIR        creates DIR\<pid> holding this process's pid
//   wait-for FILE       waits until FILE exists
//   exit N              exits with N
//   exit-if FILE N      exits with N when FILE exists
//   spawn PIDFILE MS    starts "qc_child sleep MS" on this process's
//                       output, writes its pid to PIDFILE
//   spawn-wait PIDFILE MS   the same, then waits for it
// A malformed step list exits with 100.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int write_bytes(DWORD which, long n) {
    HANDLE h = ::GetStdHandle(which);
    std::vector<char> chunk(65536, 'a');
    while (n > 0) {
        DWORD part = n < 65536 ? static_cast<DWORD>(n) : 65536;
        DWORD written = 0;
        if (!::WriteFile(h, chunk.data(), part, &written, nullptr)) return 1;
        n -= written;
    }
    return 0;
}

int print_env(const char* name) {
    wchar_t wname[256];
    ::MultiByteToWideChar(CP_UTF8, 0, name, -1, wname, 256);
    wchar_t value[4096];
    DWORD n = ::GetEnvironmentVariableW(wname, value, 4096);
    std::string out = "<unset>";
    if (n > 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
        char utf8[16384];
        int len = ::WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(n), utf8, sizeof utf8, nullptr,
                                        nullptr);
        out.assign(utf8, len > 0 ? static_cast<size_t>(len) : 0);
    }
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
                nullptr);
    return 0;
}

int write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return 3;
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return 0;
}

int spawn(const char* pidfile, const char* ms, bool wait) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"qc_child sleep ";
    for (const char* p = ms; *p; ++p) line += static_cast<wchar_t>(*p);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 2;
    int rc = write_file(pidfile, std::to_string(pi.dwProcessId) + "\n");
    if (rc == 0 && wait) ::WaitForSingleObject(pi.hProcess, INFINITE);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return rc;
}

int print_line(DWORD which, const std::string& text) {
    std::string line = text + "\n";
    DWORD written = 0;
    return ::WriteFile(::GetStdHandle(which), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)
               ? 0
               : 1;
}

int write_hex(DWORD which, const char* hex) {
    std::string bytes;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], '\0'};
        bytes += static_cast<char>(std::strtoul(pair, nullptr, 16));
    }
    DWORD written = 0;
    return ::WriteFile(::GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr)
               ? 0
               : 1;
}

bool file_exists(const char* path) { return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

int main(int argc, char** argv) {
    // Each step: its name, how many arguments it takes.
    for (int i = 1; i < argc;) {
        std::string step = argv[i];
        auto arg = [&](int k) -> const char* { return i + k < argc ? argv[i + k] : nullptr; };
        int rc = 0, used = 1;
        if (step == "sleep" && arg(1)) {
            ::Sleep(static_cast<DWORD>(std::atol(arg(1))));
        } else if ((step == "out" || step == "err") && arg(1)) {
            rc = write_bytes(step == "out" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, std::atol(arg(1)));
        } else if ((step == "print" || step == "print-err") && arg(1)) {
            rc = print_line(step == "print" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, arg(1));
        } else if ((step == "raw" || step == "raw-err") && arg(1)) {
            rc = write_hex(step == "raw" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, arg(1));
        } else if (step == "env" && arg(1)) {
            rc = print_env(arg(1));
        } else if (step == "touch" && arg(1)) {
            rc = write_file(arg(1), "");
        } else if (step == "pid-file" && arg(1)) {
            std::string pid = std::to_string(::GetCurrentProcessId());
            rc = write_file(std::string(arg(1)) + "\\" + pid, pid + "\n");
        } else if (step == "wait-for" && arg(1)) {
            while (!file_exists(arg(1))) ::Sleep(50);
        } else if (step == "exit" && arg(1)) {
            return std::atoi(arg(1));
        } else if (step == "exit-if" && arg(2)) {
            if (file_exists(arg(1))) return std::atoi(arg(2));
            used = 2;
        } else if ((step == "spawn" || step == "spawn-wait") && arg(2)) {
            rc = spawn(arg(1), arg(2), step == "spawn-wait");
            used = 2;
        } else {
            return 100;
        }
        if (rc != 0) return rc;
        i += used + 1;
    }
    return argc > 1 ? 0 : 100;
}
