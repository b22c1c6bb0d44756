/*
 * read_ten.c - open the first Korvel meter and print ten readings.
 *
 * Plain C99 against korvel.h only. Build and run:
 *   cc -std=c99 read_ten.c $(pkg-config --cflags --libs korvel) -o read_ten
 *   ./read_ten
 * Without a meter, link the simulated library instead:
 *   cc -std=c99 read_ten.c $(pkg-config --cflags --libs korvel-sim) -o read_ten_sim
 *
 * Exit status: 0 ten readings, 1 the meter stopped answering, 3 no meter found.
 */
#include <stdio.h>

#include <korvel.h>

static const char *unit_name(int units)
{
    switch (units) {
    case 0: return "gauss";
    case 1: return "tesla";
    case 2: return "A/m";
    default: return "?";
    }
}

int main(void)
{
    MeterHandle meter = openKorvel();
    int i;

    if (meter == 0) {
        fprintf(stderr, "no meter found (plugged in? permitted by the udev rule?)\n");
        return 3;
    }
    for (i = 1; i <= 10; ++i) {
        MeterReading reading;
        if (mtrGetReading(meter, &reading) != 0) {
            /* A failed exchange has already closed the connection. */
            fprintf(stderr, "reading %d: the meter stopped answering\n", i);
            return 1;
        }
        printf("reading %2d: %6d counts, %s %s, range %d, scale %d\n", i, (int)reading.value,
               reading.acdc ? "AC" : "DC", unit_name(reading.units), reading.range,
               reading.scale);
    }
    closeKorvel(meter);
    return 0;
}
