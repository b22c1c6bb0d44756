#!/usr/bin/python3
"""Log the field as CSV with the korvel Python package.

  python3 log_field.py --simulate            # ten readings, simulated meter
  python3 log_field.py -n 600 --interval 1 > field.csv
Each row: UTC time, field in tesla, the meter's own text. Exit status: 0 fine,
1 the meter was lost (the rows taken so far are kept), 3 no meter found.
"""
import argparse
import csv
import sys

import korvel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--simulate", action="store_true", help="use the simulated meter")
    parser.add_argument("-n", type=int, default=10, help="number of readings (default 10)")
    parser.add_argument("--interval", type=float, default=None,
                        help="seconds between readings (default: as fast as the meter answers)")
    args = parser.parse_args()

    try:
        meter = korvel.Meter(simulate=args.simulate)
    except korvel.MeterNotFound as error:
        print(error, file=sys.stderr)
        return 3
    with meter:
        print("# " + meter.identity)
        rows = csv.writer(sys.stdout, lineterminator="\n")
        rows.writerow(["time", "tesla", "text"])
        try:
            for reading in meter.stream(interval=args.interval, count=args.n):
                rows.writerow([reading.timestamp.isoformat(), "%.6g" % reading.tesla,
                               reading.text.strip()])
        except korvel.ConnectionLost as error:
            print(error, file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
