// Windows (mingw): open() flags the shared sources use. Every file korvel
// opens with O_CLOEXEC is also opened binary, so its bytes are Linux's.
#pragma once
#include_next <fcntl.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
