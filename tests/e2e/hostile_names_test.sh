#!/bin/bash
# A centre that sends files under the station's own names, under a name that a
# directory holds and through a link out of the store: each is refused at the
# header, before anything is written, and the station goes on with its own
# files as they were.
source "$(dirname "$0")/lib.sh"

OUTSIDE=$STORE.outside
mkdir -p "$CENTRE" "$OUTSIDE"
trap 'cleanup; rm -rf "$OUTSIDE"' EXIT
printf 'THE CENTRE WROTE THIS' > "$CENTRE/EVIL.ZIP"

for name in 'DAVRILON.LOG' 'modem.cfg' 'info\obsluga.pc' 'DANE' 'LINK\EVIL.ZIP'; do
  make_store '1\r\n'
  mkdir -p "$STORE/DANE"
  ln -s "$OUTSIDE" "$STORE/LINK"
  start_sim --calls 1 --ring-after 1 --carrier-delay 0 --hangup-wait 1 \
    --store-dir "$CENTRE" --send "$CENTRE/EVIL.ZIP" --send-name "$name"
  start_station
  check "$name: refused" wait_until 30 log_has "Nie stworzono pliku"
  # The centre's report of the call, written when the call ends.
  check "$name: the call ended" wait_until 60 grep -q -F "call 1: end" "$STORE/sim.report"
  check "$name: the header was not acknowledged" report_has "call 1: download acked=0 naked=0"
  check "$name: the configuration is the store's" test "$(cat "$STORE/MODEM.CFG")" = $'1\r'
  check "$name: the guard file is the station's" test ! -s "$STORE/INFO/OBSLUGA.PC"
  check "$name: nothing written outside" test ! -e "$OUTSIDE/EVIL.ZIP"
  check "$name: no partial file" bash -c "[ -z \"\$(find '$STORE' -name '*.part')\" ]"
  check "$name: station stops" stop_station
  kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null
  # The log is the one the station started with: its history and its last
  # lines are in the one file.
  check "$name: the log kept its history" bash -c "head -c 46 '$STORE/davrilon.log' | grep -q -x -- '-\{46\}'"
  check "$name: and got the last lines" log_has "Port został zamknięty"
  check "$name: without the centre's bytes" log_lacks "THE CENTRE WROTE THIS"
done

finish
