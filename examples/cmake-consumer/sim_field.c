/*
 * sim_field.c - test without hardware: two simulated meters in opposite
 * fields must read with opposite signs.
 * Exit status 0 when they do.
 */
#include <stdio.h>

#include <korvel_sim.h>

static int read_counts(MeterHandle meter, int *counts)
{
    MeterReading reading;
    if (mtrGetReading(meter, &reading) != 0) return -1;
    *counts = reading.value;
    return 0;
}

int main(void)
{
    MeterHandle first, second;
    int a = 0, b = 0;

    if (korvelSimReset(2) != 2) {
        fprintf(stderr, "korvelSimReset failed\n");
        return 1;
    }
    korvelSimSetTimeScale(0.01);
    if (korvelSimSetField(0, 0.01) != 0 || korvelSimSetField(1, -0.01) != 0) {
        fprintf(stderr, "korvelSimSetField failed\n");
        return 1;
    }
    first = openKorvel();
    second = openKorvel();
    if (first == 0 || second == 0 || first == second) {
        fprintf(stderr, "could not open both simulated meters (%u, %u)\n", first, second);
        return 1;
    }
    if (read_counts(first, &a) != 0 || read_counts(second, &b) != 0) {
        fprintf(stderr, "a simulated meter did not answer\n");
        return 1;
    }
    printf("meter 0 at +10 mT: %d counts; meter 1 at -10 mT: %d counts\n", a, b);
    closeKorvel(first);
    closeKorvel(second);
    if (!(a > 0 && b < 0)) {
        fprintf(stderr, "the readings do not follow the simulated fields\n");
        return 1;
    }
    return 0;
}
