#!/bin/bash
# Whole calls, ring to hang-up: the request in its forms, the companion
# programs' hand-off and progress, the upload; two calls in a row; a centre
# that falls silent and calls again.
source "$(dirname "$0")/lib.sh"

head -c 3000 /dev/urandom > "$CENTRE/CENNIK.ZIP"
export DEMO_STEP_SECONDS=0.2 DEMO_UPLOAD_SIZE=2500
sim_call() {
  rm -f "$CENTRE"/SPRZ* "$CENTRE"/PREZES*
  start_sim --ring-after 1 --carrier-delay 0 --hangup-wait 4 --between-calls 1 --exit-after-calls \
    --store-dir "$CENTRE" --send "$CENTRE/CENNIK.ZIP" "$@"
}
call_done() { wait_until "$1" bash -c "! kill -0 $SIM_PID"; }
uploaded() { cmp -s "$STORE/$1" "$CENTRE/$1"; }

# 1. An ordinary request: DETAL\START.PC, the launcher, progress codes, upload.
make_store '1\r\n\r\n3\r\n'
sim_call --calls 1 --request SPRZ0101.ZIP --params SPRZ0101.ZIP --upload-blocks 2
start_station
check "call done" call_done 60
check "download arrived" cmp -s "$CENTRE/CENNIK.ZIP" "$STORE/CENNIK.ZIP"
check "upload arrived byte for byte" uploaded SPRZ0101.ZIP
check "progress codes relayed" report_has "call 1: codes 11 12 13 14 14"
check "launcher started with /M" grep -q -x 'RUMAX.EXE /M ZELPO.EXE 2' "$STORE/COMPANION.TXT"
check "START.PC holds the parameter text" test "$(cat "$STORE/DETAL/START.PC")" = $'SPRZ0101.ZIP\r'
check "ready mark consumed" test ! -e "$STORE/DETAL/GOTOWE.PC"
check "size before packing from the INF file" log_has "Wielkość przed spakowaniem 7500"
check "upload logged as sent" log_has "Dane przesłane poprawnie"
check "the station hung up after a good exchange" report_has "call 1: end: the station hung up"
check "station stops" stop_station

# 2. A Prezes request: ILE_DNI.PC and mode 4 while the centre waits; no relay.
make_store '1\r\n'
sim_call --calls 1 --request PREZES.PC --params 14
start_station
check "call done" call_done 60
check "ILE_DNI.PC holds the days" test "$(cat "$STORE/ILE_DNI.PC")" = 14
check "mode 4 ran" grep -q -x 'zelpo.exe 4' "$STORE/COMPANION.TXT"
check "no launcher" bash -c "! grep -q RUMAX '$STORE/COMPANION.TXT'"
check "upload arrived byte for byte" uploaded PREZES.PC
check "no progress codes, only the extra 14" report_has "call 1: codes 14"
check "the station hung up" report_has "call 1: end: the station hung up"
check "station stops" stop_station

# 3. Two calls in a row, then a centre that falls silent mid-call: the station
#    hangs up, sets the modem up again and answers the next call.
make_store '1\r\n'
sim_call --calls 4 --request SPRZ0101.ZIP --params SPRZ0101.ZIP --silent-after 2:6 --faults-on-call 3
start_station
check "four calls done" call_done 200
check "first call uploaded" report_has "call 1: upload stored SPRZ0101.ZIP 2500 bytes"
check "second call uploaded" report_has "call 2: upload stored SPRZ0101.ZIP 2500 bytes"
check "third call abandoned by the station" log_has "ZA DUZE PRZKLAMANIA !!!"
check "the station hung up the third call itself" bash -c "grep -F 'call 3: end' '$STORE/sim.report' | grep -q -v 'did not hang up'"
check "fourth call uploaded after it" report_has "call 4: upload stored SPRZ0101.ZIP 2500 bytes"
check "four rings answered" bash -c "[ \$(iconv -f CP1250 -t UTF-8 '$STORE/davrilon.log' | grep -c 'Polączenie zostało nawiązane') -eq 4 ]"
check "station stops" stop_station

finish
