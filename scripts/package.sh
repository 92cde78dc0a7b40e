#!/bin/bash
# Builds the Debian package from the tree (CPack DEB, as a packager builds:
# Debian's build flags, no tests) and checks it:
#   - its contents and control data (dpkg -c, dpkg-deb -f), owned by root;
#   - unpacked in a scratch root (dpkg -x): the programs' --version, the man
#     pages rendered by man -l without a warning, the unit by
#     systemd-analyze verify, and the packaged station set up against the line
#     simulator (one call) in a copy of the sample store directory;
#   - with DAVRILON_PACKAGE_INSTALL=1, as root (CI): a real dpkg -i, the
#     station run as the unit runs it (user davrilon, the store directory,
#     /etc/default/davrilon, no standard input), one call, a stop with SIGTERM,
#     dpkg -r and dpkg -P;
#   - lintian, when installed, as information only.
#   scripts/package.sh [build-dir]      (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
# adduser: the package depends on it, and dpkg -i installs no dependencies.
EXTRA_PACKAGES="dpkg-dev man-db groff-base systemd adduser" scripts/setup.sh
out=${1:-build-package}

fail() {
  echo "package: FAILED: $*" >&2
  exit 1
}

# --- build -----------------------------------------------------------------
rm -f "$out"/davrilon_*.deb
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DDAVRILON_INSTALL_SYSTEM_FILES=ON > /dev/null
ninja -C "$out" > /dev/null
(cd "$out" && cpack -G DEB > /dev/null)
debs=("$out"/davrilon_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no package"
deb=$(realpath "${debs[0]}")
version=$(sed -n 's/^project(davrilon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
echo "package: built $deb"

# --- contents and control data ----------------------------------------------
listing=$(dpkg -c "$deb")
for path in ./usr/bin/davrilon ./usr/bin/davrilon-sim ./usr/share/man/man8/davrilon.8.gz \
  ./usr/share/man/man1/davrilon-sim.1.gz ./usr/lib/systemd/system/davrilon.service \
  ./etc/default/davrilon ./usr/share/davrilon/davrilon.service ./usr/share/davrilon/default \
  ./usr/share/davrilon/logrotate ./usr/share/davrilon/store/MODEM.CFG \
  ./usr/share/davrilon/store/INFO/ ./usr/share/davrilon/store/DETAL/ \
  ./usr/share/doc/davrilon/README.md; do
  grep -q " $path\$" <<< "$listing" || fail "$path missing from the package"
done
! grep -v ' root/root ' <<< "$listing" || fail "files not owned by root"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libc6' <<< "$depends" && grep -q 'adduser' <<< "$depends" ||
  fail "Depends lacks libc6 or adduser: $depends"
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control/DEBIAN"
grep -qx /etc/default/davrilon "$control/DEBIAN/conffiles" || fail "/etc/default/davrilon is no conffile"
for script in postinst prerm postrm; do
  [ -x "$control/DEBIAN/$script" ] || fail "$script missing or not executable"
  sh -n "$control/DEBIAN/$script" || fail "$script does not parse"
done
echo "package: contents and control data as expected ($(wc -l <<< "$listing") entries)"

# --- unpacked in a scratch root ----------------------------------------------
root=$control/root
dpkg -x "$deb" "$root"
[ "$("$root/usr/bin/davrilon" --version)" = "davrilon $version" ] || fail "davrilon --version"
"$root/usr/bin/davrilon-sim" --help | grep -q -- '--listen' || fail "davrilon-sim --help"
for page in man8/davrilon.8.gz man1/davrilon-sim.1.gz; do
  file=$root/usr/share/man/$page
  zcat "$file" | grep -q "^\.TH .* \"davrilon $version\"" || fail "$page does not name version $version"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2> "$control/man.err")
  [ ! -s "$control/man.err" ] || fail "$page: $(cat "$control/man.err")"
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" SIGNALS; do
    grep -q "^$section" <<< "$text" || fail "$page renders without $section"
  done
done
echo "package: man pages render without warnings"

# systemd-analyze verify, of the packaged unit with its program and man page
# taken from the scratch root. When it cannot check even a trivial unit here,
# this machine cannot verify units at all: say so and go on.
verify_dir=$control/verify
mkdir -p "$verify_dir"
printf '[Service]\nExecStart=/bin/true\n' > "$verify_dir/trivial.service"
if systemd-analyze verify "$verify_dir/trivial.service" > "$verify_dir/out" 2>&1; then
  sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$root/usr/lib/systemd/system/davrilon.service" \
    > "$verify_dir/davrilon.service"
  MANPATH=$root/usr/share/man systemd-analyze verify "$verify_dir/davrilon.service" > "$verify_dir/out" 2>&1 ||
    true
  [ ! -s "$verify_dir/out" ] || fail "systemd-analyze verify davrilon.service: $(cat "$verify_dir/out")"
  echo "package: systemd-analyze verify davrilon.service: no findings"
else
  echo "package: systemd-analyze verify cannot run on this machine (not checked): $(head -n 1 "$verify_dir/out")"
fi

# One call from the line simulator to the station: the simulator sets the
# modem up, rings and sends a price list; when it has made its call the station
# is stopped with SIGTERM. run_station STORE_DIR BIN_DIR [command prefix...];
# the prefix runs the station as the unit does (its user, groups, environment).
run_station() {
  local store=$1 bin=$2
  shift 2
  local work
  work=$(mktemp -d)
  mkdir "$work/centre"
  head -c 5000 /dev/urandom > "$work/CENNIK.ZIP"
  "$bin/davrilon-sim" --port-file "$work/port" --log "$work/sim.log" --report "$work/sim.report" \
    --calls 1 --send "$work/CENNIK.ZIP" --store-dir "$work/centre" --hangup-wait 3 \
    --exit-after-calls 2> /dev/null &
  local sim=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  [ -s "$work/port" ] || fail "the simulator did not start"
  (cd "$store" && exec "$@" env DAVRILON_COM1="rfc2217://127.0.0.1:$(cat "$work/port")" \
    "$bin/davrilon" < /dev/null > "$work/station.out" 2> "$work/station.err") &
  local station=$!
  # The call takes about 15 s: the modem set-up, two rings, the download,
  # the modem set-up again.
  for _ in $(seq 900); do
    kill -0 "$sim" 2> /dev/null || break
    kill -0 "$station" 2> /dev/null || break
    sleep 0.1
  done
  kill -TERM "$station" 2> /dev/null || true
  for _ in $(seq 100); do kill -0 "$station" 2> /dev/null || break; sleep 0.1; done
  kill -TERM "$sim" 2> /dev/null || true
  wait "$sim" 2> /dev/null || true
  local log
  log=$(iconv -f CP1250 -t UTF-8 "$store/davrilon.log")
  for line in 'Modem został ustawiony' 'Wykryto sygnał MS_RING :' 'Koniec przesyłu' \
    'Program zakończony sygnałem 15' 'Port został zamknięty'; do
    grep -q "$line" <<< "$log" ||
      fail "the station did not log \"$line\": $log $(cat "$work/station.err") $(cat "$work/sim.log")"
  done
  cmp -s "$work/CENNIK.ZIP" "$store/CENNIK.ZIP" || fail "CENNIK.ZIP did not reach $store whole"
  rm -rf "$work"
}

store=$control/store
cp -r "$root/usr/share/davrilon/store" "$store"
(
  set -a
  # shellcheck disable=SC1091
  . "$root/etc/default/davrilon"
  run_station "$store" "$root/usr/bin"
)
echo "package: the packaged station took a call in the sample store and stopped on SIGTERM"

# --- a real installation and removal ------------------------------------------
if [ "${DAVRILON_PACKAGE_INSTALL:-0}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  store=/var/lib/davrilon/store
  dpkg -i "$deb" > /dev/null
  id -nG davrilon | grep -qw dialout || fail "user davrilon is not in the dialout group"
  [ "$(stat -c %U "$store")" = davrilon ] && [ -f "$store/MODEM.CFG" ] && [ -d "$store/INFO" ] &&
    [ -d "$store/DETAL" ] || fail "$store is not set up for davrilon"
  [ "$(davrilon --version)" = "davrilon $version" ] || fail "installed davrilon --version"
  if systemd-analyze verify "$verify_dir/trivial.service" > /dev/null 2>&1; then
    systemd-analyze verify davrilon.service > "$verify_dir/out" 2>&1 || true
    [ ! -s "$verify_dir/out" ] || fail "installed unit: $(cat "$verify_dir/out")"
  fi
  if [ -d /run/systemd/system ]; then
    echo "package: systemd runs here: try 'systemctl start davrilon' by hand (not done: it would take the port)"
  fi
  (
    set -a
    # shellcheck disable=SC1091
    . /etc/default/davrilon
    run_station "$store" /usr/bin setpriv --reuid=davrilon --regid=davrilon --init-groups \
      env DAVRILON_ROOT="$store"
  )
  [ "$(stat -c %U "$store/davrilon.log")" = davrilon ] || fail "davrilon.log is not the service user's"
  echo "package: installed; the station took a call as user davrilon in $store and stopped on SIGTERM"
  dpkg -r davrilon > /dev/null
  [ ! -e /usr/bin/davrilon ] && [ ! -e /usr/lib/systemd/system/davrilon.service ] ||
    fail "dpkg -r left the program or the unit"
  [ -f /etc/default/davrilon ] || fail "dpkg -r removed the conffile"
  dpkg -P davrilon > /dev/null
  [ ! -e /etc/default/davrilon ] || fail "dpkg -P left /etc/default/davrilon"
  ! dpkg-query -W davrilon > /dev/null 2>&1 || fail "the package is still known to dpkg"
  echo "package: removed and purged cleanly (the store directory and the user stay)"
else
  echo "package: not installed for real (set DAVRILON_PACKAGE_INSTALL=1 and run as root)"
fi

if command -v lintian > /dev/null; then
  echo "package: lintian (information only):"
  lintian --no-tag-display-limit "$deb" || true
else
  echo "package: lintian not installed (not checked)"
fi
echo "package: $deb checked"
