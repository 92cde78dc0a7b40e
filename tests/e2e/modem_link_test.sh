#!/bin/bash
# The real station against the line simulator's modem over RFC 2217: the
# set-up on the line with its gaps, a switched-off modem, a connection that
# drops during the set-up.
source "$(dirname "$0")/lib.sh"

# The time the simulator saw a command, in seconds since it started.
command_time() { grep -F "modem: command $1" "$STORE/sim.log" | head -n 1 | sed -E 's/^\[ *([0-9.]+)\].*/\1/'; }
# gap_between A B LOW HIGH: B came between LOW and HIGH seconds after A.
gap_between() {
  local a b
  a=$(command_time "$1"); b=$(command_time "$2")
  [ -n "$a" ] && [ -n "$b" ] && awk -v a="$a" -v b="$b" -v lo="$3" -v hi="$4" \
    'BEGIN { d = b - a; exit !(d >= lo && d <= hi) }'
}

# 1. A full set-up, loud, modem only.
make_store '1\r\n\r\n1\r\n1\r\n'
start_sim
start_station
check "set-up finished" wait_until 15 log_has "Modem został ustawiony"
check "status 0x30 logged as 48" log_has "Modem jest zalączony,wartość odczytana: 48"
check "line settings reached the port" sim_log_has "baud rate 115200"
check "set-up log in order" bash -c "iconv -f CP1250 -t UTF-8 '$STORE/davrilon.log' | tr -d '\r' | grep -A 14 -x 'Port COM1 otwarty' | diff - <(printf '%s\n' \
  'Port COM1 otwarty' 'Status odczytany' 'Port zastał skonfigurowany poprawnie.' \
  'Modem jest zalączony,wartość odczytana: 48' 'Timeoty odczytane' 'Timeoty zostały zapisane' \
  'Odłożenie słuchawki' 'Reset modemu' 'Wylaczenie ECHA' 'Ustawienie glosnosci na glosny' \
  'Autoodpowiedź natychmiastowa' 'Modem został ustawiony')"
check "1 s after ATH0" gap_between ATH0 ATZ0 0.9 1.6
check "no pause between ATZ0 and ATE0" gap_between ATZ0 ATE0 0 0.3
check "1 s after ATE0" gap_between ATE0 ATM1L2 0.9 1.6
check "ATS0=0 follows at once" gap_between ATM1L2 ATS0=0 0 0.3
check "station stops, exit 0" stop_station
check "port closed in the log" log_has "Port został zamknięty"
kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null

# 2. A modem that is switched off: the console says so and the station waits
#    for one key before it ends.
make_store '1\r\n'
start_sim --modem-off
start_station
check "console shows the switched-off modem" wait_until 10 grep -q -F 'Modem nie jest załączony !!!' "$STORE/console.out"
check "log line without Polish letters" wait_until 5 log_has "Modem nie jest zalaczony !!!"
sleep 1
check "waits for a key" station_running
printf 'x' >&9
check "ends after the key, exit 0" wait_station_end 5
exec 9>&-
check "the loop never ran" log_lacks "Port został zamknięty"
kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null

# 3. The connection drops during the set-up: the next command cannot be written.
make_store '1\r\n'
start_sim --drop-after-commands 2
start_station
check "ends on its own, exit 0" wait_station_end 20
exec 9>&-
# TCP takes a write or two after the far end has gone before it fails, so
# which command fails depends on timing; one of the later ones does.
check "failed write logged with its bytes" log_has "BŁąd wysyłania znakow AT"
check "commands before the drop went through" log_lacks "BŁąd wysyłania znakow ATZ0"
check "the set-up's failure line" log_has "Nie ustawiono modemu"
kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null

# 4. No port at all where COM1 points.
make_store '1\r\n'
export DAVRILON_COM1=$STORE/no-such-device
(cd "$STORE" && timeout 10 "$STATION" < /dev/null > "$STORE/console.out" 2> "$STORE/stderr.out")
check "missing port ends with exit 0" test $? -eq 0
check "open failure with errno 2" log_has "Błąd otwierania połączenia 2"
check "nothing on the console" test ! -s "$STORE/console.out"
check "standard error names what was tried" grep -q -x -F \
  "davrilon: COM1 = $STORE/no-such-device: cannot open: no such file or directory (2)" "$STORE/stderr.out"

# 5. A network port where nobody listens, and a value that is no port at all.
export DAVRILON_COM1=rfc2217://127.0.0.1:1
(cd "$STORE" && timeout 10 "$STATION" < /dev/null > /dev/null 2> "$STORE/stderr.out")
check "refused network port explained" grep -q -x -F \
  "davrilon: COM1 = rfc2217://127.0.0.1:1: cannot open: connection refused (111)" "$STORE/stderr.out"
export DAVRILON_COM1=127.0.0.1:7801
(cd "$STORE" && timeout 10 "$STATION" < /dev/null > /dev/null 2> "$STORE/stderr.out")
check "a value that is no port is named as such" grep -q -F \
  "DAVRILON_COM1 is neither a device path (/dev/...) nor rfc2217://HOST:PORT" "$STORE/stderr.out"

finish
