#!/bin/bash
# The real station in network-only mode: start, companion runs, the three ways
# to stop, the single-copy guard.
source "$(dirname "$0")/lib.sh"

# 1. Start, run the companion programs for the exchange files, stop by koniec.pc.
make_store '1\r\nx\r\n4\r\n0\r\n'
mkfifo "$STORE/keys.fifo"
touch "$STORE/KONIEC.PC"  # stale: must not stop this run
start_station
check "guard file held" wait_until 10 test -f "$STORE/INFO/OBSLUGA.PC"
check "start-up mode ran" wait_until 10 grep -q -x 'zelpo.exe 1' "$STORE/COMPANION.TXT"
touch "$STORE/wysylka.pc" "$STORE/rano.pc" "$STORE/DETAL/START.PC"
check "offer update ran" wait_until 10 grep -q -x 'zelpo.exe 5' "$STORE/COMPANION.TXT"
check "morning mode ran" wait_until 10 grep -q -x 'zelpo.exe 2' "$STORE/COMPANION.TXT"
check "network launcher ran" wait_until 10 grep -q -x 'RUMAX.EXE /m /w ZELPO.EXE 2' "$STORE/COMPANION.TXT"
check "rano.pc deleted" wait_until 5 test ! -e "$STORE/rano.pc"
rm -f "$STORE/wysylka.pc" "$STORE/DETAL/START.PC"
touch "$STORE/koniec.pc"
check "stops on koniec.pc" wait_station_end 10
check "koniec.pc deleted" test ! -e "$STORE/koniec.pc"
check "log: start" log_has "Transmisja siecia"
check "log: remote stop" log_has "Zdalne zakończenie"
check "log: closing" log_has "Port został zamknięty"
check "guard stays, empty" test -f "$STORE/INFO/OBSLUGA.PC" -a ! -s "$STORE/INFO/OBSLUGA.PC"
check "log is Windows-1250 with CR LF" grep -q -a $'Port zosta\xb3 zamkni\xeaty\r$' "$STORE/davrilon.log"
exec 9>&-

# 2. A second copy is refused while the first runs on; Ctrl+K stops the first.
rm -f "$STORE/COMPANION.TXT"
start_station
check "first copy up" wait_until 10 grep -q 'zelpo.exe 1' "$STORE/COMPANION.TXT"
(cd "$STORE" && "$STATION" < /dev/null > "$STORE/second.out" 2>&1)
check "second copy exits 0" test $? -eq 0
check "second copy shows why" grep -q -F 'Davrilon jest juz uruchomiony !!!' "$STORE/second.out"
check "log: refused" log_has "Davrilon jest juz uruchomiony"
check "first copy undisturbed" station_running
check "guard stays while first runs" test -f "$STORE/INFO/OBSLUGA.PC"
printf 'ab\013' >&9
check "Ctrl+K stops" wait_station_end 10
check "log: key stop" log_has "Program zakończony klawiszem"
exec 9>&-

# 3. A guard file left by a killed copy does not block; SIGTERM stops cleanly.
start_station
check "third copy up" wait_until 10 test -f "$STORE/INFO/OBSLUGA.PC"
sleep 1.5
kill -KILL "$PID"; wait "$PID" 2>/dev/null
exec 9>&-
start_station
check "starts over a stale guard file" wait_until 10 bash -c "grep -c 'zelpo.exe 1' '$STORE/COMPANION.TXT' | grep -q 3"
sleep 1.5
kill -TERM "$PID"
check "SIGTERM stops within a pass" wait_station_end 5
check "log: signal stop" log_has "Program zakończony sygnałem 15"
check "log: signal stop closes" bash -c "iconv -f CP1250 -t UTF-8 '$STORE/davrilon.log' | tail -n 4 | grep -q 'Port został zamknięty'"
exec 9>&-

# 4. No INFO directory: the guard file cannot be created.
rm -rf "$STORE/INFO"
(cd "$STORE" && timeout 20 "$STATION" < /dev/null > /dev/null 2>&1)
check "missing INFO ends with exit 0" test $? -eq 0
check "log: guard not created" log_has "Nie stworzono pliku lacza ze sklepem"

# 5. End of input is no key: a station with a closed keyboard runs on.
mkdir -p "$STORE/INFO"
(cd "$STORE" && exec "$STATION" < /dev/null > /dev/null 2>&1) &
PID=$!
sleep 2.5
check "closed keyboard does not stop the station" station_running
touch "$STORE/koniec.pc"
check "and koniec.pc still does" wait_station_end 10

# 6. --help and --version answer and end without touching the directory.
EMPTY=$(mktemp -d /tmp/davrilon-e2e-XXXXXX)
for arg in --help --version; do
  out=$(cd "$EMPTY" && timeout 5 "$STATION" "$arg" < /dev/null)
  check "$arg exits 0 at once" test $? -eq 0
  check "$arg answers" test -n "$out"
done
check "--help names the store directory" bash -c "cd '$EMPTY' && '$STATION' --help | grep -q MODEM.CFG"
check "--version gives a version" bash -c "'$STATION' --version | grep -q -E '^davrilon [0-9]+\\.[0-9]+'"
check "nothing written where they ran" test -z "$(ls -A "$EMPTY")"
rm -rf "$EMPTY"

finish
