/* The fastest a program can read the simulated meter: openKorvel, then
 * mtrGetReading in a plain loop, nothing else. Prints the readings per second
 * of the loop (and of the whole process since main). The yardstick for
 * bench/read_rate.py.  Usage: raw_read_loop COUNT */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "korvel.h"

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
    const double started = now();
    const long count = argc > 1 ? atol(argv[1]) : 1000;
    MeterReading reading;
    long i;
    double loop;
    MeterHandle h = openKorvel();
    if (h == 0 || count < 1) {
        fprintf(stderr, "raw_read_loop: no meter (or COUNT < 1)\n");
        return 1;
    }
    loop = now();
    for (i = 0; i < count; ++i) {
        if (mtrGetReading(h, &reading) != 0) {
            fprintf(stderr, "raw_read_loop: reading %ld failed\n", i);
            return 1;
        }
    }
    {
        const double end = now();
        printf("%.3f %.3f\n", (double)count / (end - loop), (double)count / (end - started));
    }
    closeKorvel(h);
    return 0;
}
