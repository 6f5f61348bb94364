#!/bin/bash
# SIGTERM at any moment of a one-page job, to the job's end: each run ends with status 8, the summary
# and no file, or, only when the page was complete before the stop, with status 0 and the page; never
# by the signal (143), never with a `.part` left. A third of the stops are sent as the tool starts,
# held blocked until it takes them (a signal in the loader, before any of the tool runs, would end
# it); the others once the kernel shows SIGTERM caught by stiscan, half of them within 3 ms. Then a FIFO
# that no one reads: SIGINT and SIGTERM each end the wait for its reader with status 8; and a pipe that
# is held open and never read, the encoder blocked in its write: SIGTERM ends the run with status 8.
# Usage: stops.sh STISCAN [RUNS]
set -u
tool=$1
runs=${2:-100}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1

# Whether process $1 takes SIGTERM: stiscan catching it (bit 15 of SigCgt), or env holding it blocked
# for stiscan (SigBlk).
taking() {
  local key value name=
  while read -r key value; do
    case $key in
      Name:) name=$value ;;
      SigBlk:) [ "$name" = env ] && (((0x$value >> 14) & 1)) && return 0 ;;
      SigCgt:) [ "$name" = stiscan ] && (((0x$value >> 14) & 1)) && return 0 ;;
    esac
  done <"/proc/$1/status" 2>/dev/null
  return 1
}
# Waits until process $1 takes SIGTERM.
started() {
  until taking "$1"; do
    kill -0 "$1" 2>/dev/null || fail "the tool ended before it took signals"
  done
}

fail() { echo "run $run, stopped after ${delay}s: $*" >&2; cat out err >&2; exit 1; }

stopped=0
finished=0
for run in $(seq "$runs"); do
  rm -f ./*
  delay=0 blocked=()
  ((run % 3 != 0)) || blocked=(env --block-signal=TERM)
  "${blocked[@]}" "$tool" --simulate -r 150 -m grey --size a5 --wire-rate 20 -o page.png >out 2>err &
  pid=$!
  started $pid
  if ((run % 3 != 0)); then
    delay=0.00$((RANDOM % 4))
    ((run % 3 == 2)) && delay=0.$(printf %03d $((RANDOM % 180)))
    sleep "$delay"
  fi
  kill -TERM $pid 2>/dev/null
  wait $pid
  status=$?
  files=$(ls)
  case $status in
    8)
      [ "$files" = "$(printf 'err\nout')" ] || fail "files left: $files"
      grep -q '^total: 0 pages' out || fail "no summary"
      grep -q '^stiscan: stopped' err || fail "no message"
      stopped=$((stopped + 1))
      ;;
    0)
      [ "$delay" != 0 ] || fail "status 0 for a stop sent at the start"
      [ "$files" = "$(printf 'err\nout\npage.png')" ] || fail "files: $files"
      grep -q '^  page.png  874 x 1240  1 page' out || fail "the page not in the summary"
      finished=$((finished + 1))
      ;;
    *) fail "status $status" ;;
  esac
done
echo "$runs stops: $stopped with status 8, $finished after the page was complete (status 0)"

rm -f ./*
mkfifo fifo
for signal in INT TERM; do
  "$tool" --simulate -r 75 --size a5 -o fifo --format png >out 2>err &
  pid=$!
  started $pid
  sleep 0.5 # the page scanned or on its way, the encoder waiting for the FIFO's reader
  kill -$signal $pid
  for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
  kill -0 $pid 2>/dev/null && { kill -KILL $pid; fail "SIG$signal did not end the wait for the FIFO's reader"; }
  wait $pid
  status=$?
  [ $status = 8 ] && grep -q '^stiscan: stopped' err || fail "SIG$signal on a FIFO: status $status"
done
echo "a FIFO without a reader: SIGINT and SIGTERM end the wait with status 8"

# A pipe whose reader holds it open and reads nothing: the encoder blocks in its write; a stop still
# ends the run with status 8.
sleep 60 <fifo &
holder=$!
"$tool" --simulate -r 300 --size a4 -o - >fifo 2>err &
pid=$!
started $pid
sleep 1 # the pipe full, the encoder blocked in its write
kill -TERM $pid
for _ in $(seq 300); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
kill -0 $pid 2>/dev/null && { kill -KILL $pid $holder; fail "SIGTERM did not end a run writing into a full pipe"; }
wait $pid
status=$?
kill $holder
[ $status = 8 ] && grep -q '^stiscan: stopped' err || fail "SIGTERM on a full pipe: status $status"
echo "a full pipe: SIGTERM ends the run with status 8"
