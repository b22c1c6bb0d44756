// korvel serve: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Section kSections[] = {
    {"FILES",
     R"txt(- /lib/systemd/system/korvel-serve.service: A service unit, disabled until `systemctl enable --now
korvel-serve`. It runs as a user of its own in group plugdev and restarts on failure.
- /etc/default/korvel-serve: The service's options, for example `KORVEL_SERVE_OPTIONS="--port 5025
--bind 0.0.0.0"` (read if present; then `systemctl restart korvel-serve`).)txt"},
    {nullptr, nullptr},
};

const Example kExamples[] = {
    {"korvel serve --simulate", "Simulated meter on 127.0.0.1:5025 and VXI-11 inst0", true},
    {"korvel serve --all", "Every meter found: inst0, inst1, ... and ports 5025, 5026, ...", false},
    {"korvel serve --meter KV0001 --meter KV0002", "These two meters, in this order", false},
    {"korvel serve --port 5555", "A real meter on another port", false},
    {"korvel serve --bind 0.0.0.0 --allow-from 192.168.1.0/24",
     "Reachable from the lab network only", false},
    {"korvel --simulate serve --http 8080", "And the live page on http://localhost:8080", true},
    {"korvel serve --no-scpi --http 8080 --record-dir /srv/korvel",
     "The page (and /metrics) alone, recordings in /srv/korvel", false},
    {"python3 -c \"import pyvisa; print(pyvisa.ResourceManager('@py').open_resource(\n"
     "    'TCPIP0::127.0.0.1::5025::SOCKET', read_termination='\\n', write_termination='\\n'\n"
     "    ).query('*IDN?'))\"",
     "A client: PyVISA over the socket port", true},
    {"curl -s http://127.0.0.1:8080/metrics", "The Prometheus metrics", false},
    {nullptr, nullptr, false},
};

const ExitCode kExitCodes[] = {
    {0, "Stopped by SIGINT or SIGTERM."},
    {2, "Usage error, or the port is taken."},
    {3, "No meter found (with `--no-wait`)."},
    {-1, nullptr},
};

}  // namespace

extern const Reference k_serve_reference;
const Reference k_serve_reference = {
    "serve",
    R"txt(Offers the meter as a LAN instrument. Its doors:

- VXI-11: `TCPIP0::HOST::inst0::INSTR`, the resource VISA libraries and lxi-tools use by default;
further meters are `inst1`, `inst2`, ... in the order given, and each also answers as `inst-SERIAL`.
Clients ask the port mapper on port 111 for the core channel's port: the server registers with
rpcbind when it runs; when none runs and port 111 can be bound (root, or CAP_NET_BIND_SERVICE) it
answers the port mapper itself; otherwise it says once why VXI-11 is off and serves the other doors.
- A SCPI socket per meter, `TCPIP0::HOST::PORT::SOCKET` with read and write termination "\n",
from `--port` upward.
- With `--http`, the live page, `/metrics` and `/lxi/identification` (every door of every meter).
Several meters get a page each, on the ports after `--http`, with a meter chooser; the first page's
`/metrics` carries every meter.

### Locks

A VXI-11 client takes the meter with device_lock (VISA's lock_excl()). Until it unlocks or its link
ends, other VXI-11 links wait for the lock up to their lock timeout when they set the wait-for-lock
flag, else are refused at once (VXI-11 error 11); socket clients' queries still answer, but commands
that would change the meter go to that client's own error queue ("-203, COMMAND PROTECTED"), which
its `:SYST:ERR?`, `*ESR?` and `*CLS` read and clear instead of the meter's; the page's settings are
answered HTTP 423. A lock dies with its link, and a link with its connection.

### Message exchange

Each line a client sends is one program message; its commands are separated by ";". A line is
answered only when it holds a query (a command with "?"): the answer is the queries' responses in
the order asked, joined by ";", as one line (so `*OPC?` reads 1). Commands that are not queries
answer nothing; when the meter refuses one, the refusal is on the error queue, readable with
`:SYST:ERR?`. A first header may omit its leading colon (`MEAS:FLUX?`). Lines may end in LF, CR LF
or CR; a last line without a line end is answered when the client closes its sending side.

Besides the meter's own commands the server answers `*WAI` (nothing to wait for: every command
completes before the next), `*TST?` (a check that changes nothing: identification and one reading; 0
passed, 1 failed) and `:READ?`, `:FETC?` (the reading as a plain number in the unit that this
connection last chose with `:UNIT:FLUX:`..., tesla until it chooses, whatever another client or the
page set the display to; the meter's own digits when it shows that unit, e.g. 1.251E+02 for 125.1G,
else six digits; +9.9E+37 or -9.9E+37 over range; earlier versions answered in the displayed units).
`*RST` is refused into the error queue (-100): no meter command restores a documented state as a
whole.

With `--raw` every line gets the interpreter's reply instead, refusal texts included, as the meter's
own dialect has it.

### Service commands

Commands that change the meter's memory or calibration are refused unless `--allow-service` is
given: nothing of such a line runs, -100 goes on the error queue, and a line with a query is
answered "ERR: service command refused".

### The meter

Meter exchanges run on a thread of their own, one line at a time: each client's lines in the order
they came, the clients in turn, so a newcomer waits for one exchange per other busy client at most.
A client found gone (reset, or closed both ways) loses the lines it still had waiting; they never
reach the meter. Without a meter the server waits for one; meanwhile, and while a lost meter is
looked for again (after 1 s, then 2, 4, ... up to every 30 s), a line with a query is answered "USB
Connection Problem" at once. The library's memory-read lines, which go to standard output, are
discarded.

### Limits

A line may be 4096 bytes long; a longer one closes its client. A line once begun must end, and
replies must be taken, within `--line-timeout`, or the client is closed; replies the kernel still
holds for a client that does not read count as not taken. A full server closes its longest-idle
client (idle for a second or more) to make room; when no client is idle, newcomers wait in the
listen queue until one leaves. Dead peers are found by TCP keepalive. When the process runs out of
file descriptors, the server stops accepting for a moment instead of spinning, logs it once, and
tells each newcomer meanwhile "ERR: too many clients" (the page answers 503) before closing it. The
log names the first 10 connections from a host each minute one by one; beyond those it says once a
minute "N connections from HOST in the last minute".

### The live page

With `--http` PORT the server also serves, on the `--bind` address, a page for a browser: the
reading large with its units, AC/DC, range and over-range (a count pinned at the end of its range),
a chart of the last 1, 10 or 60 minutes, minimum, maximum, mean and standard deviation since a
reset, the controls for units, AC/DC, range, auto-range, relative (zero) and hold, recording to a
CSV log on the server (as `korvel read -o FILE.csv` writes one, with the meta block naming the
meter; files named korvel-SERIAL-TIME.csv in `--record-dir`, never overwritten) with a download
link, a download of the meter's memory image (read only: the page never writes the memory), and a
status line (connected or waiting for the meter, serial, probe, uptime). Readings are pushed as
Server-Sent Events; all pages share one reading of the meter, taken 10 times a second while a page
watches or a recording runs (otherwise only when `/metrics` or `/api/state` asks). The chart library
is Debian's libjs-dygraphs, served from /usr/share/javascript/dygraphs; nothing is fetched from
elsewhere. An HTTP connection with no request under way is closed after 5 s, a request must arrive
whole within 2 s of its first byte, and each part of an answer must be taken within 10 s. The page
holds up to 2048 connections (fewer when the descriptor limit is low); past that, the one that has
waited longest for its request is closed for a newcomer. A setting from the page that the meter
could not begin within 10 s (it was busy, say reading its memory for another page) is answered 503
and dropped, never made later.

`GET /metrics` gives Prometheus's text format: korvel_field_tesla, korvel_reading_counts,
korvel_range, korvel_units_code, korvel_overrange (left out while the meter is away),
korvel_connected, the counters korvel_exchanges_total and korvel_exchanges_failed_total, and the
gauges korvel_scpi_clients and korvel_http_streams, each labelled with the meter's serial.

### The page's security

Requests whose Host header names neither the `--bind` address or name nor localhost (127.0.0.1, ::1)
are refused with 403, so a web site that rebinds its own name to this address reaches nothing. With
a wildcard `--bind` (0.0.0.0, ::) this host's name and the addresses of its interfaces are accepted
too; `--http-host` adds others. Every change (settings, statistics reset, recording) must be a POST
whose Origin is the page's own (`http://` and the Host) and which carries the server's token in the
header `X-Korvel-Token`; anything else is refused with 403 and changes nothing. Listening on
loopback, the server makes a fresh random token at start and hands it to its page. With
`--http-token-file` the token is that file's first line and the page asks for it. Listening on any
other address without `--http-token-file`, the page is read-only. At most 32 pages stream at once; a
client's request may take 10 s to arrive and a reply 5 s to be taken.

SIGINT or SIGTERM stop the server. With `--simulate`, SIGUSR1 pulls the simulated meter's cable or
plugs it back in.)txt",
    kSections,
    kExamples,
    kExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
