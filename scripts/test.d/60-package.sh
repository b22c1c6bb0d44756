#!/usr/bin/env bash
# Install, package and build-against tests: builds Korvel the way the Debian
# package is built (hardening flags, prefix /usr) in build-package/, installs it
# into a staging folder (DESTDIR), checks the installed layout, builds the
# examples against that staged install only (pkg-config and find_package), runs
# them on the simulated meter, then builds the .deb and runs lintian on it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# The tier is the ctest test tier.package (label `package`): run by hand or
# by scripts/test.sh, the script hands itself to ctest.
if [ -z "${KORVEL_UNDER_CTEST:-}" ]; then
  cd "$root" && . scripts/program-tier.sh && program_tier package --no-build
  exit
fi
build=${KORVEL_PACKAGE_BUILD_DIR:-$root/build-package}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "60-package: FAIL: $*" >&2; exit 1; }
step() { echo "-- $*"; }

# ------------------------------------------------------------------ build
# Flags as Debian builds its packages: hardened, fortified, relro/now.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)
step "configure $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DKORVEL_BUILD_TESTS=OFF -DKORVEL_BUILD_BENCH=OFF -DKORVEL_BUILD_TOOLS=ON \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  ${KORVEL_PACKAGE_CMAKE_ARGS:-} >/dev/null
step "build"
cmake --build "$build" -j 2 >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; fail "build"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
vendor=$(sed -n 's/^KORVEL_USB_VENDOR_ID:STRING=//p' "$build/CMakeCache.txt")
product=$(sed -n 's/^KORVEL_USB_PRODUCT_ID:STRING=//p' "$build/CMakeCache.txt")
vendor=$(printf '%04x' "$((vendor))")
product=$(printf '%04x' "$((product))")
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg --print-architecture)
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

# ---------------------------------------------------------- staged install
stage=$work/stage
step "install into $stage"
DESTDIR=$stage cmake --install "$build" >/dev/null
lib=$stage/usr/lib/$multiarch
has_cli=0
[ -e "$stage/usr/bin/korvel" ] && has_cli=1

expect=(
  usr/include/korvel.h usr/include/korvel_sim.h
  "usr/lib/$multiarch/libkorvel-x64.so.$version" "usr/lib/$multiarch/libkorvel-x64-sim.so.$version"
  "usr/lib/$multiarch/pkgconfig/korvel.pc" "usr/lib/$multiarch/pkgconfig/korvel-sim.pc"
  "usr/lib/$multiarch/cmake/Korvel/KorvelConfig.cmake"
  "usr/lib/$multiarch/cmake/Korvel/KorvelConfigVersion.cmake"
  "usr/lib/$multiarch/cmake/Korvel/KorvelTargets.cmake"
  lib/udev/rules.d/70-korvel.rules lib/udev/rules.d/60-korvel-plugdev.rules
  usr/share/man/man1/korvel.1.gz usr/share/man/man3/korvel.3.gz
  usr/share/doc/korvel/copyright usr/share/doc/korvel/changelog.gz
)
for sub in info scpi console read eeprom selftest list publish serve help; do
  expect+=("usr/share/man/man1/korvel-$sub.1.gz")
done
for f in "${expect[@]}"; do
  [ -f "$stage/$f" ] || fail "not installed: /$f"
done
[ "$has_cli" = 1 ] || echo "   note: the korvel program is not built in this tree; not installed"

step "libraries: SONAME links, no execute bits"
for name in korvel-x64 korvel-x64-sim; do
  real=$lib/lib$name.so.$version
  soname=$(objdump -p "$real" | sed -n 's/^ *SONAME *//p')
  [ "$soname" = "lib$name.so.${version%%.*}" ] || fail "lib$name: SONAME '$soname'"
  [ "$(readlink "$lib/$soname")" = "lib$name.so.$version" ] || fail "$soname does not link to the library"
  [ "$(readlink "$lib/lib$name.so")" = "$soname" ] || fail "lib$name.so does not link to $soname"
  [ ! -x "$real" ] || fail "lib$name.so.$version is executable"
done

step "udev rules for $vendor:$product"
uaccess=$stage/lib/udev/rules.d/70-korvel.rules
plugdev=$stage/lib/udev/rules.d/60-korvel-plugdev.rules
match="ATTR{idVendor}==\"$vendor\", ATTR{idProduct}==\"$product\""
grep -v '^#' "$uaccess" | grep -F "$match" | grep -qF 'TAG+="uaccess"' || fail "70-korvel.rules: $(cat "$uaccess")"
grep -v '^#' "$plugdev" | grep -F "$match" | grep -F 'MODE="0660"' | grep -qF 'GROUP="plugdev"' \
  || fail "60-korvel-plugdev.rules: $(cat "$plugdev")"
# udev sorts rules by file name: uaccess must be tagged before 71-seat.rules.
[[ "70-korvel.rules" < "71-seat.rules" ]] || fail "70-korvel.rules sorts after 71-seat.rules"

step "man pages render without warnings"
for page in "$stage"/usr/share/man/man*/*.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) \
    || fail "man cannot render $page"
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

step "changelog names version $version"
top=$(zcat "$stage/usr/share/doc/korvel/changelog.gz" | head -1)
[[ "$top" == "korvel ($version) "* ]] || fail "changelog starts with '$top', not version $version"

# -------------------------------------------------- pkg-config, staged only
step "pkg-config against the staged install"
(
  # No sysroot: the .pc files find their prefix from where they lie.
  export PKG_CONFIG_LIBDIR=$lib/pkgconfig PKG_CONFIG_PATH=
  export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
  [ "$(pkg-config --modversion korvel)" = "$version" ] || fail "pkg-config korvel version"
  [ "$(pkg-config --variable=udevrulesdir korvel)" = /lib/udev/rules.d ] || fail "udevrulesdir"
  for module in korvel korvel-sim; do
    include=$(realpath -m "$(pkg-config --cflags-only-I "$module" | sed 's/^ *-I//; s/ *$//')")
    libdir=$(realpath -m "$(pkg-config --libs-only-L "$module" | sed 's/^ *-L//; s/ *$//')")
    [ "$include" = "$stage/usr/include" ] || fail "$module: headers in $include, not the stage's"
    [ "$libdir" = "$lib" ] || fail "$module: libraries in $libdir, not the stage's"
  done
  # korvel.h promises plain C89; korvel_sim.h (long long) needs C99.
  for header in korvel.h:c89 korvel_sim.h:c99; do
    printf '#include <%s>\nint main(void) { return 0; }\n' "${header%%:*}" |
      cc -std="${header#*:}" -pedantic -Wall -Wextra -Werror -fsyntax-only -x c - $(pkg-config --cflags korvel) \
      || fail "${header%%:*} is not clean ${header#*:}"
  done
  printf '#include <korvel_sim.h>\nint main() { return 0; }\n' |
    c++ -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only -x c++ - $(pkg-config --cflags korvel) \
    || fail "korvel.h is not clean C++"
  cc -std=c99 -Wall -Wextra -Werror -pedantic "$root/examples/read_ten.c" \
    $(pkg-config --cflags --libs korvel) -o "$work/read_ten"
  cc -std=c99 -Wall -Wextra -Werror -pedantic "$root/examples/read_ten.c" \
    $(pkg-config --cflags --libs korvel-sim) -o "$work/read_ten_sim"
  c++ -std=c++17 -Wall -Wextra -Werror "$root/examples/scpi_session.cpp" \
    $(pkg-config --cflags --libs korvel-sim) -o "$work/scpi_session"
)
readelf -d "$work/read_ten" | grep -q 'NEEDED.*\[libkorvel-x64\.so\.1\]' || fail "read_ten does not need libkorvel-x64.so.1"

# Ten readings: ten lines "reading N: ..." and nothing failing.
ten_readings() { # label, output
  local n
  n=$(grep -cE '^reading +[0-9]+: ' <<<"$2" || true)
  [ "$n" = 10 ] || fail "$1 printed $n readings:
$2"
}
step "examples on the simulated meter"
out=$(LD_LIBRARY_PATH=$lib timeout 60 "$work/read_ten_sim") || fail "read_ten (korvel-sim) exit $?: $out"
ten_readings "read_ten (pkg-config korvel-sim)" "$out"
out=$(LD_LIBRARY_PATH=$lib timeout 60 "$work/scpi_session") || fail "scpi_session exit $?: $out"
ten_readings "scpi_session" "$(grep '^reading' <<<"$out")"
out=$(KORVEL_LIBRARY=$lib/libkorvel-x64-sim.so.1 PYTHONDONTWRITEBYTECODE=1 timeout 60 \
      /usr/bin/python3 "$root/examples/read_field.py" --simulate) || fail "read_field.py exit $?: $out"
ten_readings "read_field.py" "$(grep '^reading' <<<"$out")"
pydir=$stage/usr/lib/python3/dist-packages
if [ -f "$pydir/korvel/__init__.py" ]; then
  out=$(cd "$work" && PYTHONPATH=$pydir KORVEL_SIM_LIBRARY=$lib/libkorvel-x64-sim.so.1 \
        PYTHONDONTWRITEBYTECODE=1 timeout 60 /usr/bin/python3 -c '
import korvel, sys
print(korvel.__file__)
with korvel.Meter(simulate=True) as meter:
    print(meter.identity)
') || fail "the installed Python package: $out"
  [[ "$(head -1 <<<"$out")" == "$pydir/korvel/"* ]] || fail "Python imported korvel from $(head -1 <<<"$out")"
  out=$(PYTHONPATH=$pydir KORVEL_SIM_LIBRARY=$lib/libkorvel-x64-sim.so.1 PYTHONDONTWRITEBYTECODE=1 \
        timeout 60 /usr/bin/python3 "$root/examples/log_field.py" --simulate) || fail "log_field.py exit $?: $out"
  rows=$(grep -cE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[^,]+,-?[0-9.e+-]+,.+' <<<"$out" || true)
  [ "$rows" = 10 ] || fail "log_field.py wrote $rows rows:
$out"
fi
# Against the real library: no meter on a CI machine, so a clean "not found".
rc=0; out=$(LD_LIBRARY_PATH=$lib timeout 60 "$work/read_ten" 2>&1) || rc=$?
[ "$rc" = 3 ] || [ "$rc" = 0 ] || fail "read_ten (korvel, USB) exit $rc: $out"

# ------------------------------------- an install moved to another prefix
step "cmake --install --prefix elsewhere: pkg-config still finds it"
moved=$work/moved
DESTDIR=$moved cmake --install "$build" --prefix /opt/korvel >/dev/null
movedlib=$moved/opt/korvel/lib/$multiarch
(
  export PKG_CONFIG_LIBDIR=$movedlib/pkgconfig PKG_CONFIG_PATH=
  cc -std=c99 -Wall -Wextra -Werror -pedantic "$root/examples/read_ten.c" \
    $(pkg-config --cflags --libs korvel-sim) -o "$work/read_ten_moved"
) || fail "read_ten.c does not build against the install under /opt/korvel"
out=$(LD_LIBRARY_PATH=$movedlib timeout 60 "$work/read_ten_moved") || fail "read_ten (moved install) exit $?: $out"
ten_readings "read_ten (moved install)" "$out"

# ---------------------------------------------- find_package, staged only
step "find_package(Korvel) against the staged install"
consumer=$work/consumer
cmake -S "$root/examples/cmake-consumer" -B "$consumer" -G Ninja -DCMAKE_PREFIX_PATH="$stage/usr" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" 2>&1 || fail "consumer configure: $(cat "$work/consumer.log")"
found=$(sed -n 's/^Korvel_DIR:PATH=//p' "$consumer/CMakeCache.txt")
[ "$found" = "$lib/cmake/Korvel" ] || fail "find_package(Korvel) found '$found', not the staged install"
cmake --build "$consumer" >"$work/consumer.log" 2>&1 || fail "consumer build: $(cat "$work/consumer.log")"
out=$(timeout 60 "$consumer/read_ten_sim") || fail "read_ten_sim (Korvel::korvel_sim) exit $?: $out"
ten_readings "read_ten_sim (Korvel::korvel_sim)" "$out"
out=$(timeout 60 "$consumer/sim_field") || fail "sim_field (korvel_sim.h) exit $?: $out"
readelf -d "$consumer/read_ten" | grep -q 'NEEDED.*\[libkorvel-x64\.so\.1\]' || fail "Korvel::korvel is not libkorvel-x64.so.1"
# A major version we do not have must not be accepted.
mkdir -p "$work/v2"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(v2 LANGUAGES NONE)\nfind_package(Korvel %s REQUIRED)\n' \
  "$(( ${version%%.*} + 1 ))" >"$work/v2/CMakeLists.txt"
if cmake -S "$work/v2" -B "$work/v2/build" -DCMAKE_PREFIX_PATH="$stage/usr" >/dev/null 2>&1; then
  fail "find_package(Korvel $(( ${version%%.*} + 1 ))) accepted version $version"
fi

# ------------------------------------------------ the installed program
if [ "$has_cli" = 1 ]; then
  step "installed korvel finds its library"
  out=$(env -u LD_LIBRARY_PATH timeout 60 "$stage/usr/bin/korvel" --simulate read -n 3 2>&1) \
    || fail "staged korvel --simulate read: $out"
  step "the service units (korvel-serve, korvel-read@, korvel-publish@)"
  units=$stage/lib/systemd/system
  grep -qx 'ExecStart=/usr/bin/korvel serve $KORVEL_SERVE_OPTIONS' "$units/korvel-serve.service" \
    || fail "korvel-serve.service: ExecStart"
  for unit in korvel-serve.service korvel-read@.service korvel-publish@.service; do
    [ -f "$units/$unit" ] || fail "not installed: /lib/systemd/system/$unit"
    for key in Type=notify WatchdogSec=30 DynamicUser=yes SupplementaryGroups=plugdev Restart=on-failure \
        ProtectSystem=strict; do
      grep -qx "$key" "$units/$unit" || fail "$unit lacks $key"
    done
    grep -q '^StateDirectory=korvel/' "$units/$unit" || fail "$unit has no StateDirectory"
    # Verified with the staged program in place of /usr/bin/korvel (a
    # template as one of its instances); systemd only warns about unknown
    # keys, so any output fails.
    name=${unit/@./@demo.}
    sed "s|^ExecStart=/usr/bin/korvel|ExecStart=$stage/usr/bin/korvel|" "$units/$unit" >"$work/$name"
    verify=$(systemd-analyze verify --man=no "$work/$name" 2>&1) || fail "systemd-analyze $name: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify $name: $verify"
  done
  # The .deb ships them without enabling them: no links made at install.
  ! grep -rqs 'systemctl\|deb-systemd' "$root/packaging/debian" || fail "the package enables a service"
  # The pages and the completion are made by the program itself (korvel help).
  step "a man page per subcommand, and the bash completion"
  for sub in $(env -u LD_LIBRARY_PATH "$stage/usr/bin/korvel" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z]*\) .*/\1/p'); do
    [ -f "$stage/usr/share/man/man1/korvel-$sub.1.gz" ] || fail "korvel $sub has no man page"
  done
  completion=$stage/usr/share/bash-completion/completions/korvel
  [ -f "$completion" ] || fail "not installed: /usr/share/bash-completion/completions/korvel"
  got=$(bash -c 'source "$1"; COMP_WORDS=(korvel re); COMP_CWORD=1; _korvel; echo "${COMPREPLY[*]}"' _ "$completion")
  [ "$got" = read ] || fail "the installed completion offers '$got' for 'korvel re'"
fi

# ------------------------------------------------------------- the .deb
step "build the .deb"
rm -rf "$build/package"
(cd "$build" && cpack -G DEB --config CPackConfig.cmake >"$work/cpack.log" 2>&1) || fail "cpack: $(cat "$work/cpack.log")"
deb=$build/package/korvel_${version}_$arch.deb
[ -f "$deb" ] || fail "no $deb: $(ls "$build/package")"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libusb-0.1-4* ]] || fail "Depends lacks libusb-0.1-4: $depends"
[[ "$depends" == *libjs-dygraphs* ]] || fail "Depends lacks libjs-dygraphs (the live page's chart): $depends"
if [ "$has_cli" = 1 ]; then
  # Opened on demand by the program, so named by the package itself.
  for library in libmosquitto1 libavahi-client3 libedit2 libtirpc3; do
    [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library: $depends"
  done
  [[ "$depends" != *libcpp-httplib* ]] || fail "Depends names cpp-httplib, which nothing uses: $depends"
fi
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/deb.list"
(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort) >"$work/stage.list"
diff -u "$work/stage.list" "$work/deb.list" || fail "the .deb does not hold exactly what cmake --install installs"
if [ "$has_cli" = 1 ]; then
  dpkg-deb -x "$deb" "$work/unpacked"
  env -u LD_LIBRARY_PATH timeout 60 "$work/unpacked/usr/bin/korvel" --simulate info >/dev/null \
    || fail "the packaged korvel does not run"
fi

step "lintian"
rc=0
lintian --fail-on error --display-info --pedantic "$deb" >"$work/lintian.log" 2>&1 || rc=$?
grep -v 'root privileges' "$work/lintian.log" || true
[ "$rc" = 0 ] || fail "lintian reports errors on $(basename "$deb") (exit $rc)"
echo "60-package: ok ($(basename "$deb"))"
