#!/bin/bash
# Stop signals wherever the station waits: a companion program that never
# ends must not keep SIGTERM from stopping the station, and is not killed.
source "$(dirname "$0")/lib.sh"

# A ZELPO.EXE whose mode 5 never ends; it leaves its process number behind.
hanging_companion() {
  cat > "$STORE/zelpo.exe" <<'SCRIPT'
#!/bin/sh
echo "zelpo.exe $*" >> COMPANION.TXT
if [ "$1" = "5" ]; then
  echo $$ > HANGING.PID
  exec sleep 3600
fi
SCRIPT
  chmod +x "$STORE/zelpo.exe"
}
companion_alive() { kill -0 "$(cat "$STORE/HANGING.PID")" 2>/dev/null; }

make_store '1\r\n\r\n4\r\n'
hanging_companion
start_station
check "started" wait_until 10 grep -q -x 'zelpo.exe 1' "$STORE/COMPANION.TXT"
touch "$STORE/wysylka.pc"
check "the companion hangs in mode 5" wait_until 10 test -s "$STORE/HANGING.PID"
sleep 1
kill -TERM "$PID"
check "SIGTERM ends the station within two seconds" wait_station_end 2
check "log: the signal" log_has "Program zakończony sygnałem 15"
check "log: closing steps" log_has "Port został zamknięty"
check "the companion program was not killed" companion_alive
check "nothing ran after the signal" test "$(grep -c 'zelpo.exe 5' "$STORE/COMPANION.TXT")" -eq 1
kill "$(cat "$STORE/HANGING.PID")" 2>/dev/null
exec 9>&-

finish
