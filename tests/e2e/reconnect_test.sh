#!/bin/bash
# The network port's access server restarted mid-day: while it is away the
# station logs its failing status reads and goes on; when it is back on the
# same port, the station connects again by itself, sets the modem up again and
# answers the next call.
source "$(dirname "$0")/lib.sh"

head -c 3000 /dev/urandom > "$CENTRE/CENNIK.ZIP"
export DEMO_STEP_SECONDS=0.2 DEMO_UPLOAD_SIZE=2500
log_count() { log_text | grep -c -F -- "$1"; }
at_least() { [ "$(log_count "$1")" -ge "$2" ]; }
sim_gone() { ! kill -0 "$SIM_PID" 2>/dev/null; }

make_store '1\r\n'
start_sim  # modem only: no call before the restart
PORT=$(cat "$STORE/sim.port")
start_station
check "modem set up at start" wait_until 15 log_has "Modem został ustawiony"

kill -TERM "$SIM_PID"
check "simulator stopped" wait_until 10 sim_gone
check "failing status reads logged while it is away" \
  wait_until 15 at_least "Bląd obsługi zdarzeń na porcie" 3
check "not back while nobody listens" log_lacks "Port sieciowy połączony ponownie"
check "station still running" station_running

start_sim --listen "127.0.0.1:$PORT" --ring-after 1 --carrier-delay 0 --hangup-wait 4 \
  --calls 1 --exit-after-calls --store-dir "$CENTRE" --send "$CENTRE/CENNIK.ZIP" \
  --request SPRZ0101.ZIP --params SPRZ0101.ZIP --upload-blocks 2
check "same port" test "$(cat "$STORE/sim.port")" = "$PORT"
check "port back" wait_until 90 log_has "Port sieciowy połączony ponownie"
check "modem set up again" wait_until 15 at_least "Modem został ustawiony" 2
check "set-up after the port is back, in order" bash -c "iconv -f CP1250 -t UTF-8 '$STORE/davrilon.log' | tr -d '\r' | grep -A 8 -x 'Port sieciowy połączony ponownie' | diff - <(printf '%s\n' \
  'Port sieciowy połączony ponownie' 'Ustawienie trybu rozkazów' 'Odłożenie słuchawki' \
  'Reset modemu' 'Wylaczenie ECHA' 'Ustawienie glosnosci na cichy' \
  'Autoodpowiedź natychmiastowa' 'Modem został ustawiony')"
check "call done" wait_until 90 sim_gone
check "call answered" log_has "Polączenie zostało nawiązane"
check "download arrived" cmp -s "$CENTRE/CENNIK.ZIP" "$STORE/CENNIK.ZIP"
check "upload arrived byte for byte" cmp -s "$STORE/SPRZ0101.ZIP" "$CENTRE/SPRZ0101.ZIP"
check "back once" test "$(log_count "Port sieciowy połączony ponownie")" -eq 1
check "station stops" stop_station

# 2. The access server goes away in the middle of a call: the station's writes
#    fail, the modem commands after the call too, but the port is not given up:
#    once the server is back, the station answers the next call.
make_store '1\r\n'
rm -f "$CENTRE"/SPRZ*
export DEMO_STEP_SECONDS=1
start_sim --ring-after 1 --carrier-delay 0 --hangup-wait 4 --calls 1 --store-dir "$CENTRE" \
  --send "$CENTRE/CENNIK.ZIP" --request SPRZ0101.ZIP --params SPRZ0101.ZIP
PORT=$(cat "$STORE/sim.port")
start_station
check "call under way" wait_until 60 log_has "Odczytany PlikPostepu"
kill -TERM "$SIM_PID"
check "simulator stopped mid-call" wait_until 10 sim_gone
check "modem commands after the cut-off call fail" wait_until 30 log_has "Nie zresetowano modemu"
check "failing status reads logged" wait_until 15 at_least "Bląd obsługi zdarzeń na porcie" 1
export DEMO_STEP_SECONDS=0.2
start_sim --listen "127.0.0.1:$PORT" --ring-after 1 --carrier-delay 0 --hangup-wait 4 \
  --calls 1 --exit-after-calls --store-dir "$CENTRE" --send "$CENTRE/CENNIK.ZIP" \
  --request SPRZ0101.ZIP --params SPRZ0101.ZIP --upload-blocks 2
check "port back after the cut-off call" wait_until 90 log_has "Port sieciowy połączony ponownie"
check "next call done" wait_until 90 sim_gone
check "next call uploaded byte for byte" cmp -s "$STORE/SPRZ0101.ZIP" "$CENTRE/SPRZ0101.ZIP"
check "two calls answered" test "$(log_count "Polączenie zostało nawiązane")" -eq 2
check "station stops" stop_station

finish
