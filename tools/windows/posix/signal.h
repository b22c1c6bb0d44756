// Windows (mingw): sigaction() over the C runtime's signal(). Ctrl-C comes as
// SIGINT (on a thread the system starts); SIGHUP and SIGUSR1 never come.
#pragma once
#include_next <signal.h>

#ifndef SIGHUP
#define SIGHUP 1
#endif
#ifndef SIGUSR1
#define SIGUSR1 10
#endif
#ifndef SIGPIPE
#define SIGPIPE 13
#endif
#define SA_RESTART 0x10000000

typedef int sigset_t;
struct sigaction {
    void (*sa_handler)(int);
    sigset_t sa_mask;
    int sa_flags;
};

#ifdef __cplusplus
extern "C" {
#endif
int sigemptyset(sigset_t* set);
// Installs the handler for as long as it is set: the C runtime's reset to
// the default after each signal is undone, as POSIX handlers stay.
int sigaction(int signal, const struct sigaction* action, struct sigaction* previous);
#ifdef __cplusplus
}
#endif
