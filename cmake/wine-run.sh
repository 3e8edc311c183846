#!/bin/bash
# Runs a Windows test program under Wine for ctest, starting it again when Wine's loader failed it
# before any of its code ran: a busy Wine now and then fails a system library's initialisation in
# a new process (STATUS_DLL_INIT_FAILED, which reaches us as exit status 0x42 = 66) without a word
# on its standard output. Any other exit, or one with output, is the program's own and stands.
# (Standard error is not looked at: Debian's wine launcher writes its own notes there.)
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
for attempt in 1 2 3; do
  # The output goes on as it comes (a test that hangs still shows how far it got).
  wine "$@" | tee "$out"
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 66 ] || [ -s "$out" ] || [ "$attempt" -eq 3 ]; then
    break
  fi
  echo "wine-run: the loader failed $1 before it ran (attempt $attempt); starting it again" >&2
done
exit "$status"
