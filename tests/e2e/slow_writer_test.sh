#!/bin/bash
# A companion program that writes its progress values slowly, each in several
# writes to one open file: the station sends each value whole, taken once its
# writer has closed the file.
source "$(dirname "$0")/lib.sh"

head -c 600 /dev/urandom > "$CENTRE/CENNIK.ZIP"
# The pause is longer than the relay's longest sleep, so a timed look always
# falls inside it.
export DEMO_SLOW_WRITER=0.6 DEMO_STEP_SECONDS=0.2 DEMO_UPLOAD_SIZE=1500

make_store '1\r\n'
start_sim --ring-after 1 --carrier-delay 0 --hangup-wait 4 --calls 1 --exit-after-calls \
  --store-dir "$CENTRE" --send "$CENTRE/CENNIK.ZIP" --request SPRZ0101.ZIP --params SPRZ0101.ZIP
start_station
check "call done" wait_until 60 bash -c "! kill -0 $SIM_PID"
check "\"1\" then \"2\" sent as 12, \"13\" after a truncation as 13" report_has "call 1: codes 12 13 14"
check "values logged whole" log_has "Odczytany PlikPostepu 12"
check "the second one too" log_has "Odczytany PlikPostepu 13"
check "upload arrived byte for byte" cmp -s "$STORE/SPRZ0101.ZIP" "$CENTRE/SPRZ0101.ZIP"
check "station stops" stop_station

finish
