# Shared helpers for the end-to-end tests: a scratch store directory with the
# stand-in companion programs, and bounded waits.
set -u
STATION=$(realpath "${1:?path to the davrilon binary}")
SRC=${DAVRILON_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
FAILURES=0
PASSES=0

STORE=$(mktemp -d /tmp/davrilon-e2e-XXXXXX)
# The simulated centre's own directory (--store-dir): what it sends and receives.
CENTRE=$STORE.centre
mkdir -p "$CENTRE"
trap 'cleanup' EXIT
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null
  wait 2>/dev/null
  rm -rf "$STORE" "$CENTRE"
}

# A store directory: MODEM.CFG with the given content, INFO and DETAL, and the
# stand-in companions; the drive root for "\FONTY\..." is the store itself.
make_store() {
  rm -rf "$STORE"/*
  mkdir -p "$STORE/INFO" "$STORE/DETAL" "$STORE/FONTY"
  printf "$1" > "$STORE/MODEM.CFG"
  cp "$SRC/demo/companions/zelpo.exe" "$STORE/"
  cp "$SRC/demo/companions/FONTY/RUMAX.EXE" "$STORE/FONTY/"
  export DAVRILON_ROOT="$STORE"
}

# The event log in UTF-8, CR LF folded to LF.
log_text() { iconv -f CP1250 -t UTF-8 "$STORE/davrilon.log" | tr -d '\r'; }

# wait_until SECONDS COMMAND...: polls every 0.1 s.
wait_until() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  while ! "$@" 2>/dev/null; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.1
  done
}

check() {
  local what=$1; shift
  if "$@"; then
    PASSES=$((PASSES + 1))
  else
    FAILURES=$((FAILURES + 1))
    echo "FAIL: $what" >&2
    [ -f "$STORE/davrilon.log" ] && { echo "--- log:" >&2; log_text >&2; }
  fi
}

log_has() { log_text | grep -q -F -- "$1"; }
log_lacks() { ! log_has "$1"; }

finish() {
  echo "$PASSES passed, $FAILURES failed"
  [ $FAILURES -eq 0 ]
}

# --- the line simulator ---
SIM=$(dirname "$STATION")/davrilon-sim

# start_sim ARGS...: the simulator on an ephemeral loopback port; COM1 points at it.
start_sim() {
  rm -f "$STORE/sim.port" "$STORE/sim.report" "$STORE/sim.log"
  "$SIM" --port-file "$STORE/sim.port" --report "$STORE/sim.report" --log "$STORE/sim.log" "$@" \
    2> /dev/null &
  SIM_PID=$!
  wait_until 10 test -s "$STORE/sim.port" || { echo "FAIL: simulator did not start" >&2; exit 1; }
  export DAVRILON_COM1="rfc2217://127.0.0.1:$(cat "$STORE/sim.port")"
}
sim_log_has() { grep -q -F -- "$1" "$STORE/sim.log"; }
report_has() { grep -q -F -x -- "$1" "$STORE/sim.report"; }

# The station in the store, its keyboard a pipe held open by the test (fd 9).
start_station() {
  rm -f "$STORE/keys.fifo"
  mkfifo "$STORE/keys.fifo"
  (cd "$STORE" && exec "$STATION" < "$STORE/keys.fifo" > "$STORE/console.out" 2>&1) &
  PID=$!
  exec 9> "$STORE/keys.fifo"
}
station_running() { [ -n "${PID:-}" ] && kill -0 "$PID" 2>/dev/null; }
# Waits for the station to end; its exit value must be 0.
wait_station_end() {
  wait_until "$1" bash -c "! kill -0 $PID" || return 1
  wait "$PID"
}
stop_station() {
  : > "$STORE/koniec.pc"
  wait_station_end 15
  local rc=$?
  exec 9>&-
  return $rc
}
