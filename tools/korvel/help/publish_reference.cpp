// korvel publish: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Example kExamples[] = {
    {"korvel --simulate publish --broker mqtt://127.0.0.1:1883 -n 10 --interval 0.1",
     "Ten simulated readings to a broker on this host", true},
    {"korvel --simulate --meters 3 publish --all --broker mqtt://127.0.0.1:1883 -n 10 --interval 0.1",
     "Three simulated meters on one connection", true},
    {"korvel publish --broker mqtts://broker.lab:8883 --cafile ca.pem --username bench3 --password-file pw --reconnect",
     "A real meter, over TLS, riding out a lost meter", false},
    {"mosquitto_sub -h 127.0.0.1 -t 'korvel/#' -v", "Watch what arrives", false},
    {"python3 /usr/share/doc/korvel/examples/mqtt_consumer.py --out readings/",
     "The example consumer: the readings back into logs", false},
    {nullptr, nullptr, false},
};

const ExitCode kExitCodes[] = {
    {0, "Success."},
    {1, "The broker refused the user name or password, the meter was lost (without `--reconnect`), the disk "
        "refused the spool or its state file, or another publisher holds the spool (its pid is named)."},
    {2, "Usage error."},
    {3, "No meter found."},
    {-1, nullptr},
};

}  // namespace

extern const Reference k_publish_reference;
const Reference k_publish_reference = {
    "publish",
    R"txt(Takes readings at an interval and publishes them to an MQTT broker. Each reading goes to an on-disk
spool first and leaves it once the broker has it (QoS 1: the broker acknowledged it; QoS 0: it was
sent). While the broker is away the readings wait in the spool; after the program reconnects (1 s, 2
s, 3 s ... up to every 30 s) they go out in order. A reading may arrive twice (QoS 1), never not at
all: receivers drop duplicates by serial number and `seq`. A reading sent again, also after the
program was killed, is the same record under the same number; a number is never given to two
readings.

None lost holds for a program that is stopped or killed. On a power cut the readings spooled in the
last `--sync-interval` seconds (default 1) and not yet at the broker may be lost: the spool is
flushed to the disk that often.

Topics, for the meter with serial number SERIAL:

- PREFIX`/`SERIAL`/reading`: One JSON record per reading: the JSON lines record of `korvel-read`(1)
with `seq` in front, a sequence number that rises by one per reading, also across reconnections and
across runs that use the same spool.
- PREFIX`/`SERIAL`/meta`: The meta record of `korvel-read`(1)'s JSON lines logs: the meter's
identification, probe and settings, the host, the software, the start time and the command line
(retained).
- PREFIX`/`SERIAL`/status`: "online" or "offline" (retained); "offline" is also the last will, which
the broker publishes when the program goes away without saying so.

Several meters on one connection (`--all`, or `--meter` repeated): each meter keeps its own spool,
numbers and topics as above. One connection has one last will, so it is then on
PREFIX`/publisher/`CLIENT-ID`/status` ("online"/"offline", retained), and each meter's retained
PREFIX`/`SERIAL`/publisher` names that topic: a meter's "online" holds while the topic it names says
"online". A clean stop sets every meter's status and that topic to "offline". Each line of the
closing summary on standard error then starts with the meter's serial number.

The spool is bounded by `--spool-max`: when it is full the oldest readings are dropped, a line on
standard error says so, and the next reading spooled carries the number of those that never reached
the broker in a `dropped` field.

One publisher per spool: a second one on the same spool refuses to start and names the first one's
pid. When a run opens the spool it checks every record: damaged lines go to SERIAL`.bad` (a warning
says how many) and the records around them are kept; a missing or unreadable state file is rebuilt
from the spool (a warning says so), whose records are then sent again under their own numbers. A
full disk ends the run with a message and exit status 1, the spool keeping what it holds for the
next run.

Ctrl-C, SIGTERM or SIGHUP stop the readings; the program then waits up to `--flush-timeout` for the
broker to take what is spooled (a second Ctrl-C stops waiting) and leaves the rest in the spool for
the next run.)txt",
    nullptr,
    kExamples,
    kExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
