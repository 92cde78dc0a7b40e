#!/bin/bash
# A ringing call delivers the centre's file: the real station against the line
# simulator over RFC 2217, with faults on the line.
source "$(dirname "$0")/lib.sh"

# Every byte value, 20 times over: 5120 bytes, 10 packets of 4 blocks.
for i in $(seq 1 20); do printf "$(printf '\\%03o' $(seq 0 255))"; done > "$CENTRE/CENNIK_NA_SKLEP.ZIP"
SIM_CALL=(--calls 1 --ring-after 1 --carrier-delay 0 --hangup-wait 1 --exit-after-calls
          --store-dir "$CENTRE" --send "$CENTRE/CENNIK_NA_SKLEP.ZIP")
call_done() { wait_until "$1" bash -c "! kill -0 $SIM_PID"; }

# 1. The whole file, every byte value, with a corrupted block asked for again;
#    the request names no file, so the parameter text goes into the INF file.
make_store '1\r\n'
start_sim "${SIM_CALL[@]}" --corrupt-block 3 --params 7
start_station
check "call done" call_done 60
check "file arrived byte for byte" cmp -s "$CENTRE/CENNIK_NA_SKLEP.ZIP" "$STORE/CENNIK_NA_SKLEP.ZIP"
check "no partial file left" test ! -e "$STORE/CENNIK_NA_SKLEP.ZIP.part"
check "the corrupted block was rejected" log_has "Błędna suma kontrolna"
check "and asked for again" report_has "call 1: download acked=11 naked=1"
check "progress reached 100 %" log_has "Koniec przesyłu"
check "INF file holds the parameter text" test "$(cat "$STORE/CENNIK_NA_SKLEP.INF")" = 7
check "mode 3 ran at the end" grep -q -x 'zelpo.exe 3' "$STORE/COMPANION.TXT"
check "the progress file is gone" test ! -e "$STORE/INFO/ODCZYT.KAS"
check "the modem was set up again" bash -c "log_text() { iconv -f CP1250 -t UTF-8 '$STORE/davrilon.log'; }; [ \$(log_text | grep -c 'Modem został ustawiony') -eq 2 ]"
check "station stops" stop_station

# 2. A name that would leave the store directory is refused.
make_store '1\r\n'
start_sim "${SIM_CALL[@]}" --send-name '..\EVIL.ZIP'
start_station
check "refusal logged" wait_until 30 log_has "Nie stworzono pliku"
check "nothing written outside the store" test ! -e "$STORE/../EVIL.ZIP" -a ! -e "$STORE/..\\EVIL.ZIP"
check "station stops" stop_station
kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null

# 3. A centre that falls silent mid-download: the store's previous copy stays,
#    and what arrived of the new one is deleted.
make_store '1\r\n'
printf 'yesterday' > "$STORE/CENNIK_NA_SKLEP.ZIP"
start_sim "${SIM_CALL[@]}" --silent-after 1:6
start_station
check "exchange abandoned" wait_until 90 log_has "ZA DUZE PRZKLAMANIA !!!"
check "previous copy intact" test "$(cat "$STORE/CENNIK_NA_SKLEP.ZIP")" = yesterday
check "nothing of the broken download left" test ! -e "$STORE/CENNIK_NA_SKLEP.ZIP.part"
check "station stops" stop_station
kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null

finish
