#!/bin/bash
# The station's main job, end to end, on this machine: the line simulator
# plays the store's modem and the head office, calls once, sends a price
# list, asks for the day's sales; the station answers, downloads, hands the
# request to the stand-in companion programs, relays their progress and
# uploads the file. Then the station is stopped and a summary printed.
#   ./demo.sh          one call
#   DEMO_CALLS=3 ./demo.sh
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake -S . -B build -G Ninja > /dev/null
ninja -C build davrilon davrilon-sim > /dev/null

demo=$PWD/demo-store
store=$demo/store
rm -rf "$demo"
mkdir -p "$store/INFO" "$store/DETAL" "$store/FONTY" "$demo/centre"
cp demo/companions/zelpo.exe "$store/"
cp demo/companions/FONTY/RUMAX.EXE "$store/FONTY/"
printf '1\r\n\r\n1\r\n1\r\n' > "$store/MODEM.CFG"  # COM1, modem only, loud
# The price list the centre sends: every byte value, a few times over.
for i in $(seq 1 20); do printf "$(printf '\\%03o' $(seq 0 255))"; done > "$demo/centre/CENNIK.ZIP"

build/davrilon-sim --port-file "$demo/sim.port" --report "$demo/sim.report" --log "$demo/sim.log" \
  --store-dir "$demo/centre" --calls "${DEMO_CALLS:-1}" --send "$demo/centre/CENNIK.ZIP" \
  --request SPRZ0101.ZIP --params SPRZ0101.ZIP --hangup-wait 3 --exit-after-calls &
sim=$!
for _ in $(seq 50); do [ -s "$demo/sim.port" ] && break; sleep 0.1; done
export DAVRILON_COM1="rfc2217://127.0.0.1:$(cat "$demo/sim.port")"
export DAVRILON_ROOT=$store DEMO_STEP_SECONDS=${DEMO_STEP_SECONDS:-1}

# When the centre has made its calls, ask the station to stop, as the store's
# software would with koniec.pc.
( wait_for_sim() { while kill -0 "$sim" 2>/dev/null; do sleep 0.5; done; }
  wait_for_sim; sleep 1.5; : > "$store/koniec.pc" ) &
(cd "$store" && ../../build/davrilon)
wait "$sim" 2>/dev/null || true

echo
echo "=== What crossed the line (the simulated centre's report) ==="
cat "$demo/sim.report"
echo
echo "=== Files ==="
cmp -s "$demo/centre/CENNIK.ZIP" "$store/CENNIK.ZIP" && echo "CENNIK.ZIP reached the store byte for byte ($(stat -c %s "$store/CENNIK.ZIP") bytes)" \
  || echo "CENNIK.ZIP: DIFFERS or missing in the store"
cmp -s "$store/SPRZ0101.ZIP" "$demo/centre/SPRZ0101.ZIP" && echo "SPRZ0101.ZIP reached the centre byte for byte ($(stat -c %s "$store/SPRZ0101.ZIP") bytes)" \
  || echo "SPRZ0101.ZIP: DIFFERS or missing at the centre"
echo "Companion runs: $(tr '\n' ';' < "$store/COMPANION.TXT")"
echo
echo "Station's event log (Windows-1250): $store/davrilon.log"
echo "  read it with: iconv -f CP1250 -t UTF-8 $store/davrilon.log"
echo "Simulator's log: $demo/sim.log"
