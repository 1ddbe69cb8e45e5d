// A command for the runner tests on the desktop platform, where the usual
// small POSIX tools are missing:
//   qc_child sleep MS            sleeps
//   qc_child out N | err N       writes N bytes to standard output / error
//   qc_child env NAME            prints the variable's value, or "<unset>"
//   qc_child spawn PIDFILE MS    starts "qc_child sleep MS" on this process's
//                                output, writes its pid to PIDFILE and exits
//   qc_child spawn-wait PIDFILE MS   the same, then waits for it
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int write_bytes(DWORD which, long n) {
    HANDLE h = ::GetStdHandle(which);
    std::vector<char> chunk(65536, 'x');
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
        int len = ::WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(n), utf8,
                                        sizeof utf8, nullptr, nullptr);
        out.assign(utf8, len > 0 ? static_cast<size_t>(len) : 0);
    }
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()),
                &written, nullptr);
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
    if (!::CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                          &pi))
        return 2;
    FILE* f = std::fopen(pidfile, "w");
    if (f == nullptr) return 3;
    std::fprintf(f, "%lu\n", static_cast<unsigned long>(pi.dwProcessId));
    std::fclose(f);
    if (wait) ::WaitForSingleObject(pi.hProcess, INFINITE);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 100;
    std::string action = argv[1];
    if (action == "sleep") {
        ::Sleep(static_cast<DWORD>(std::atol(argv[2])));
        return 0;
    }
    if (action == "out") return write_bytes(STD_OUTPUT_HANDLE, std::atol(argv[2]));
    if (action == "err") return write_bytes(STD_ERROR_HANDLE, std::atol(argv[2]));
    if (action == "env") return print_env(argv[2]);
    if (argc < 4) return 100;
    if (action == "spawn") return spawn(argv[2], argv[3], false);
    if (action == "spawn-wait") return spawn(argv[2], argv[3], true);
    return 100;
}
