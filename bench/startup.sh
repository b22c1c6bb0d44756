#!/usr/bin/env bash
# Start-up time of short commands, each against its natural peer, from one
# run of interleaved rounds (every command once per round, so a busy moment
# of the shared machine falls on all of them alike); medians and ratios.
#
#   korvel --version                      vs /bin/true
#   korvel --simulate scpi '*IDN?'        vs lxi scpi --raw '*IDN?' against a
#                                         running korvel --simulate serve
#   python3 -c 'import korvel'            vs python3 -c pass
#
# Wall time is what a user waits; CPU time (user + system, from wait4) is
# what the command itself costs, and moves less when the machine is busy.
# korvel scpi opens the meter, which waits once for a stale answer (10 ms on
# a quiet meter, kept on purpose); its ratio is also given without it.
# Usage: bench/startup.sh [BUILD_DIR] [ROUNDS]   (defaults: build 41)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-41}
[ -x "$build/korvel" ] || { echo "build $build/korvel first (cmake --build $build --target korvel_cli)"; exit 2; }
command -v lxi >/dev/null || { echo "lxi is missing (apt-get install lxi-tools)"; exit 2; }

exec /usr/bin/python3 - "$build" "$rounds" <<'EOF'
import os, socket, statistics, subprocess, sys, tempfile, time

build, rounds = os.path.abspath(sys.argv[1]), int(sys.argv[2])
korvel = os.path.join(build, "korvel")
python = "/usr/bin/python3"
env = dict(os.environ, PYTHONPATH=os.path.abspath("python"),
           KORVEL_SIM_LIBRARY=os.path.join(build, "libkorvel-x64-sim.so.1"))
env.pop("PYTHONDONTWRITEBYTECODE", None)  # an installed package has its bytecode cached

with socket.socket() as s:  # a free loopback port for the server
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
log = tempfile.TemporaryFile()
server = subprocess.Popen([korvel, "--simulate", "serve", "--port", str(port), "--no-dns-sd", "--no-vxi11"],
                          stdout=log, stderr=log, env=env)
try:
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if time.monotonic() > deadline or server.poll() is not None:
                log.seek(0)
                sys.exit("korvel serve did not start:\n" + log.read().decode(errors="replace"))
            time.sleep(0.05)

    commands = {
        "/bin/true": ["/bin/true"],
        "korvel --version": [korvel, "--version"],
        "lxi scpi -r '*IDN?'": ["lxi", "scpi", "--address", "127.0.0.1", "--port", str(port), "--raw", "*IDN?"],
        "korvel --simulate scpi '*IDN?'": [korvel, "--simulate", "scpi", "*IDN?"],
        "python3 -c pass": [python, "-c", "pass"],
        "python3 -c 'import korvel'": [python, "-c", "import korvel"],
    }
    for argv in commands.values():  # warm the page cache, check each works
        subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL)
    times = {name: [] for name in commands}
    cpu = {name: [] for name in commands}
    devnull = os.open(os.devnull, os.O_WRONLY)
    actions = [(os.POSIX_SPAWN_DUP2, devnull, 1)]
    for _ in range(rounds):
        for name, argv in commands.items():
            start = time.perf_counter()
            pid = os.posix_spawnp(argv[0], argv, env, file_actions=actions)
            _, status, usage = os.wait4(pid, 0)
            times[name].append((time.perf_counter() - start) * 1000)
            cpu[name].append((usage.ru_utime + usage.ru_stime) * 1000)
            if status != 0:
                sys.exit(f"{name} failed (wait status {status})")
finally:
    server.terminate()
    server.wait()

load = os.getloadavg()[0]
print(f"{rounds} interleaved rounds (load average {load:.1f} on {os.cpu_count()} cores); medians per command")
print(f"  {'':34s} {'wall':>9s} {'CPU':>9s}")
for name in commands:
    print(f"  {name:34s} {statistics.median(times[name]):6.2f} ms {statistics.median(cpu[name]):6.2f} ms")
drain = 10.0
for label, table in (("wall", times), ("CPU", cpu)):
    med = {name: statistics.median(t) for name, t in table.items()}
    scpi, lxi = med["korvel --simulate scpi '*IDN?'"], med["lxi scpi -r '*IDN?'"]
    print(f"ratios ({label} time)")
    print(f"  korvel --version / true              {med['korvel --version'] / med['/bin/true']:5.2f}  (target <= 3)")
    print(f"  korvel scpi / lxi scpi               {scpi / lxi:5.2f}")
    if label == "wall":  # the drain waits; it costs no CPU
        print(f"  korvel scpi less its 10 ms drain     {(scpi - drain) / lxi:5.2f}  (target <= 1.5)")
    extra = med["python3 -c 'import korvel'"] - med["python3 -c pass"]
    print(f"  import korvel beyond python3 -c pass {extra:5.2f} ms  (target <= 40)")
EOF
