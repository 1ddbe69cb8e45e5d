// Included ahead of every test source on the desktop platform: the POSIX
// calls the tests use to set TZ and job variables and to read local time.
#pragma once

// localtime_r and gmtime_r from the C library's headers.
#ifndef _POSIX_THREAD_SAFE_FUNCTIONS
#    define _POSIX_THREAD_SAFE_FUNCTIONS 200112L
#endif

#ifdef __cplusplus
#    include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
    // _putenv_s also sets the process environment that children inherit.
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
#endif
