#!/bin/sh
# Checks that C and C++ sources are formatted as the project's .clang-format says: with no
# arguments every tracked source of the checkout, else the files named. Lists each file that
# clang-format would change, with the first changes, and exits 1 when there is one.
# Reformat a file with: clang-format -i FILE
set -e
if ! command -v clang-format >/dev/null; then
  echo "check-format: clang-format is not installed (scripts/install-dependencies.sh)" >&2
  exit 2
fi
if [ $# -eq 0 ]; then
  cd "$(dirname "$0")/.."
  if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "check-format: not a git checkout; name the files to check" >&2
    exit 2
  fi
  set -- $(git ls-files '*.c' '*.cpp' '*.h')
fi
[ $# -gt 0 ] || { echo "check-format: no file to check" >&2; exit 2; }
# One clang-format run for all files; it names each file it would change in its warnings.
if report=$(clang-format --dry-run -Werror "$@" 2>&1); then
  echo "$# files formatted as .clang-format says"
  exit 0
fi
files=$(printf '%s\n' "$report" | sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' | sort -u)
if [ -z "$files" ]; then
  printf '%s\n' "$report" >&2
  exit 2
fi
for file in $files; do
  echo "not formatted: $file"
  clang-format "$file" | diff -u "$file" - | sed -n '3,12p'
done
exit 1
