#!/usr/bin/python3
"""Take N readings with PyMeasure: a Procedure through KorvelMeter over
`korvel serve`, into a PyMeasure Results file.

  korvel serve --simulate &        # or `korvel serve` next to the meter
  python3 pymeasure_procedure.py -n 20 --results field-results.csv

Runs without a window (a Worker thread, as PyMeasure's GUIs run procedures);
the Results file opens with the procedure's parameters, so
`pymeasure.experiment.Results.load(FILE)` reads it back. Exit status: 0 the
procedure finished, 1 it failed (the meter or the bridge), 2 usage error.
Needs python3-pymeasure, python3-pyvisa and python3-pyvisa-py.
"""
import argparse
import logging
import sys
import time

from pymeasure.experiment import FloatParameter, IntegerParameter, Parameter, Procedure, Results, Worker

from korvel.pymeasure import UNITS, KorvelMeter, parse_field

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())


class FieldProcedure(Procedure):
    """Readings of the field at a steady pace, in tesla."""

    resource = Parameter("VISA resource", default="TCPIP0::127.0.0.1::5025::SOCKET")
    readings = IntegerParameter("Readings", default=10, minimum=1, maximum=1000000)
    interval = FloatParameter("Interval", units="s", default=0.1, minimum=0, maximum=3600)
    units = Parameter("Units", default="DC TESLA")

    DATA_COLUMNS = ["Elapsed (s)", "Field (T)"]

    meter = None

    def startup(self):
        self.meter = KorvelMeter(self.resource)
        self.meter.units = self.units  # the meter's display; Field (T) is tesla either way

    def execute(self):
        start = time.monotonic()
        for index in range(self.readings):
            if self.should_stop():
                log.warning("stopped after %d readings", index)
                break
            # :MEAS:FLUX? gives the meter's text ("0.0125T", "1234A" = kA/m);
            # parse_field turns every unit into tesla.
            tesla = parse_field(self.meter.field_text)
            self.emit("results", {"Elapsed (s)": time.monotonic() - start, "Field (T)": tesla})
            self.emit("progress", 100.0 * (index + 1) / self.readings)
            # Paced from the start, so the time a reading takes does not add up.
            pause = start + (index + 1) * self.interval - time.monotonic()
            if pause > 0:
                time.sleep(pause)

    def shutdown(self):
        if self.meter is not None:
            adapter = self.meter.adapter
            # PyMeasure 0.10 on has adapter.close(); 0.9 closes the VISA resource.
            close = getattr(adapter, "close", None) or adapter.connection.close
            close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=10, help="number of readings (default 10)")
    parser.add_argument("--interval", type=float, default=0.1, help="seconds between readings (default 0.1)")
    parser.add_argument("--resource", default="TCPIP0::127.0.0.1::5025::SOCKET",
                        help="VISA resource of the korvel serve bridge")
    parser.add_argument("--units", default="DC TESLA", choices=sorted(UNITS), help="the meter's units")
    parser.add_argument("--results", default="field-results.csv", help="PyMeasure Results file to write")
    args = parser.parse_args()
    if args.n < 1 or args.interval < 0:
        parser.error("-n must be 1 or more and --interval 0 or more")

    procedure = FieldProcedure()
    procedure.resource = args.resource
    procedure.readings = args.n
    procedure.interval = args.interval
    procedure.units = args.units
    results = Results(procedure, args.results)
    worker = Worker(results)
    worker.start()
    worker.join(timeout=args.n * (args.interval + 5) + 30)
    if worker.is_alive():
        worker.stop()
        worker.join(timeout=10)
    if procedure.status != Procedure.FINISHED:
        print(f"the procedure did not finish (is korvel serve running at {args.resource}?)", file=sys.stderr)
        return 1
    data = Results.load(args.results, FieldProcedure).data
    print(f"{len(data)} readings in {args.results}: mean {data['Field (T)'].mean():.6g} T")
    return 0


if __name__ == "__main__":
    sys.exit(main())
