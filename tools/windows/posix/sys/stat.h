// Windows (mingw): mkdir with POSIX's mode argument (Windows has no modes).
#pragma once
#include_next <sys/stat.h>

#include <direct.h>

#ifdef __cplusplus
inline int mkdir(const char* path, int /*mode*/) { return _mkdir(path); }
#endif
