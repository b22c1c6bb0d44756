/* A fresh process that loads the simulated library with dlopen finds one
 * meter with power-on defaults, in the default field of 12.5 mT, answering
 * each exchange after the default latency of 1 ms. Plain C: also checks that
 * korvel_sim.h is. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "korvel_sim.h"

#define LOAD(type, name) type name = (type)dlsym(lib, #name); if (!name) return fail(#name)

static int fail(const char *what) {
    fprintf(stderr, "fresh_process: %s\n", what);
    return 1;
}

typedef MeterHandle (*OpenFn)(void);
typedef void (*CloseFn)(MeterHandle);
typedef int (*InfoFn)(MeterHandle, char *);
typedef int (*ReadingFn)(MeterHandle, MeterReading *);
typedef int (*CountFn)(void);
typedef int (*SettingFn)(int, int);

int main(int argc, char **argv) {
    void *lib;
    char info[41];
    MeterReading reading;
    MeterHandle h;
    if (argc < 2) return fail("usage: fresh_process LIBRARY");
    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) return fail(dlerror());
    {
        LOAD(CountFn, korvelSimMeterCount);
        LOAD(SettingFn, korvelSimGetSetting);
        LOAD(OpenFn, openKorvel);
        LOAD(CloseFn, closeKorvel);
        LOAD(InfoFn, mtrGetMeterInfo);
        LOAD(ReadingFn, mtrGetReading);
        if (korvelSimMeterCount() != 1) return fail("one meter expected");
        h = openKorvel();
        if (h == 0) return fail("openKorvel found no meter");
        memset(info, 0, sizeof info);
        if (mtrGetMeterInfo(h, info) != 0 || strcmp(info, "KORVEL,KV-100,KV0001,1.02") != 0)
            return fail("identification");
        /* 12.5 mT is 125.0 G: 1250 counts of 0.1 G, give or take the noise
           and drift (together below 0.6 G). */
        if (mtrGetReading(h, &reading) != 0 || reading.value < 1244 || reading.value > 1256 ||
            reading.units != 0 || reading.range != 0 || reading.acdc != 0)
            return fail("power-on reading in the default field");
        {
            /* The cable ticks once per millisecond and each exchange ends on a
               tick at least half a tick away: 20 readings span 19.5 ms at
               least (never less; a busy machine only makes it more). */
            struct timespec start, end;
            int i;
            clock_gettime(CLOCK_MONOTONIC, &start);
            for (i = 0; i < 20; ++i)
                if (mtrGetReading(h, &reading) != 0) return fail("reading");
            clock_gettime(CLOCK_MONOTONIC, &end);
            if ((double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) * 1e-9 < 0.0195)
                return fail("the default latency of 1 ms per exchange");
        }
        if (korvelSimGetSetting(0, KORVEL_SIM_AUTO_RANGE) != 1 ||
            korvelSimGetSetting(0, KORVEL_SIM_HOLD) != 0)
            return fail("power-on settings");
        closeKorvel(h);
    }
    puts("fresh process: one meter, power-on defaults, 12.5 mT, 1 ms per exchange");
    return 0;
}
