// Included ahead of every test source on the desktop platform: the POSIX
// environment calls the tests use to set TZ and job variables.
#pragma once

#ifdef __cplusplus
#include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
    // _putenv_s also sets the process environment that children inherit.
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
#endif
