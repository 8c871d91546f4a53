#!/usr/bin/env bash
# `cmake --install` as people run it by hand: for each prefix, into a staging folder (DESTDIR), every
# path the installed units name (the programs they start, the settings file they read) must be a file the
# same installation put there, and the settings file must be where the probe unit's message says.
#
#   install_paths_check.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: install_paths_check.sh BUILD_DIR}
work=$(mktemp -d /tmp/kestrum-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

for prefix in /usr /usr/local /opt/kestrum; do
  stage="$work/stage${prefix//\//_}"
  DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; exit 1; }
  units=$(find "$stage" -path '*/systemd/system/*.service')
  [ "$(wc -l <<<"$units")" = 2 ] || { echo "FAILED: $prefix: units installed: $units"; exit 1; }
  paths=()
  while IFS= read -r line; do
    value=${line#*=}
    value=${value#-}
    value=${value%% *}
    # Ours, not the system's (/bin/sh).
    case "${value##*/}" in kestrum*) paths+=("$value") ;; esac
  done < <(grep -h -E '^(ExecStart|ExecStartPre|EnvironmentFile)=' $units | grep -v '^ExecStart=$')
  grep -h -o -E '(/[A-Za-z0-9_.-]+)+/default/kestrum-probe' $units >"$work/named"
  while IFS= read -r p; do paths+=("$p"); done <"$work/named"
  missing=0
  for p in "${paths[@]}"; do
    if [ ! -f "$stage$p" ]; then
      echo "FAILED: prefix $prefix: a unit names $p, which the installation did not put there"
      missing=$((missing + 1))
    fi
  done
  [ "$missing" = 0 ] && echo "ok: prefix $prefix: the ${#paths[@]} paths the units name are installed"
  failures=$((failures + missing))
done
[ "$failures" = 0 ] || exit 1
