#!/usr/bin/env bash
# Runs a command with an X server: the one in DISPLAY when there is one, else a private
# Xvfb that picks its own free display number (so parallel tests never share or race for
# one), else xvfb-run. Without any of them the test is skipped (exit 77) with the reason.
set -u
case " $* " in
  *" --gtest_list_tests "*) exec "$@" ;;  # listing the cases needs no display
esac
if [ -n "${DISPLAY:-}" ]; then exec "$@"; fi
if command -v Xvfb >/dev/null 2>&1; then
  fifo="$(mktemp -u)"; mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xpid=$!
  read -r -t 20 number <"$fifo"; rm -f "$fifo"
  if [ -z "${number:-}" ]; then kill "$xpid" 2>/dev/null; echo "SKIP: Xvfb did not start"; exit 77; fi
  DISPLAY=":$number" "$@"; status=$?
  kill "$xpid" 2>/dev/null; wait "$xpid" 2>/dev/null
  exit "$status"
fi
if command -v xvfb-run >/dev/null 2>&1; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
fi
echo "SKIP: no X server: DISPLAY is not set and neither Xvfb nor xvfb-run is installed"
exit 77
