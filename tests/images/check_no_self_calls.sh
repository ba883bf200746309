#!/bin/sh
# The memory routines the compiler may call on its own (memcpy, memset, memmove, memcmp) and the
# byte routines behind them must never be compiled into calls of those same routines: that
# would recurse forever in firmware. Checks the support library's objects for such calls.
# Usage: check_no_self_calls.sh <llvm-objdump> <object>...
objdump="$1"
shift
status=0
for object in "$@"; do
  calls=$("$objdump" -d -r "$object" | grep -E 'R_X86_64|IMAGE_REL_AMD64' | grep -E '\b(memcpy|memset|memmove|memcmp)\b')
  if [ -n "$calls" ]; then
    echo "$object calls a compiler memory routine:"
    echo "$calls"
    status=1
  else
    echo "$object: no calls of memcpy/memset/memmove/memcmp"
  fi
done
exit $status
