// Every environment variable korvel reads (grep getenv under tools/korvel), in
// one table: korvel(1) lists them all, each command's page those it concerns.
#include "help/reference.h"

namespace korvel::cli::help {

const Variable kEnvironment[] = {
    {"KORVEL_LIBRARY", "",
     "The Korvel library to load (a build of your own, say): tried after `--library` and before the "
     "program's own folder, the installed library folder and the dynamic loader's search."},
    {"KORVEL_SIM_LIBRARY", "",
     "With `--simulate`: the simulated library to load instead of the installed one (`--library` wins)."},
    {"KORVEL_MOSQUITTO_LIBRARY", "publish",
     "The MQTT client library `korvel publish` opens for an mqtts:// broker (default `libmosquitto.so.1`); "
     "only publish over TLS loads it (plain mqtt:// needs no library)."},
    {"KORVEL_AVAHI_LIBRARY", "serve",
     "The Avahi client library `korvel serve` opens to announce itself by DNS-SD (default "
     "`libavahi-client.so.3`); without it serve runs unannounced and says so."},
    {"KORVEL_LIBEDIT_LIBRARY", "console",
     "The line-editing library an interactive `korvel console` opens (default `libedit.so.2`)."},
    {"KORVEL_TIRPC_LIBRARY", "serve",
     "The RPC library `korvel serve` opens to register its VXI-11 core with a running rpcbind (default "
     "`libtirpc.so.3`)."},
    {"HOME", "",
     "The console keeps its history in `$HOME/.korvel_history`; the config file and the state folder "
     "default to folders under it."},
    {"XDG_CONFIG_HOME", "", "The default config file is `$XDG_CONFIG_HOME/korvel/korvel.conf` (else `~/.config/...`)."},
    {"STATE_DIRECTORY", "read publish serve",
     "Where the spool of `korvel publish` and the live page's recordings go: `$STATE_DIRECTORY` (set by "
     "systemd for a service), else `$XDG_STATE_HOME/korvel`, else `~/.local/state/korvel`; never the current "
     "folder."},
    {"XDG_STATE_HOME", "read publish serve", "See `STATE_DIRECTORY`."},
    {"NOTIFY_SOCKET", "read publish serve",
     "Set by systemd for a `Type=notify` service: `read`, `publish` and `serve` say when they are ready and "
     "keep a status line (the meter, the broker, the spool). Without it nothing changes."},
    {"WATCHDOG_USEC", "read publish serve",
     "Set by systemd with `WatchdogSec=`: the loops that do the work ping the watchdog, so a stuck loop is "
     "restarted."},
    {"WATCHDOG_PID", "read publish serve", "Set by systemd: the watchdog is pinged only when it names this process."},
    {nullptr, nullptr, nullptr},
};

}  // namespace korvel::cli::help
