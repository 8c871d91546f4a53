#!/usr/bin/env bash
# The manual pages render with man's own warnings on, and say nothing while doing it.
#   man_check.sh PAGE...
set -euo pipefail
status=0
for page in "$@"; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || status=1
  if [ -n "$out" ]; then
    echo "man_check: $page:" >&2
    echo "$out" >&2
    status=1
  fi
  lines=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)
  [ "$lines" -gt 20 ] || { echo "man_check: $page renders to only $lines lines" >&2; status=1; }
done
[ "$status" = 0 ] && echo "man_check: $# page(s) render without warnings"
exit $status
