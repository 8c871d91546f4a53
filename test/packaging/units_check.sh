#!/usr/bin/env bash
# The systemd units as systemd reads them: `systemd-analyze verify` on the three units, configured with
# this build's programs in place of the installed ones, and the manual pages they name looked up in the
# source tree. Any message from it (an unknown key is only a warning to systemd) fails the check.
#
#   units_check.sh SOURCE_DIR KESTRUM_SERVER_BINARY KESTRUM_BINARY
set -euo pipefail
src=${1:?usage: units_check.sh SOURCE_DIR SERVER_BINARY KESTRUM_BINARY}
server=$(realpath "${2:?}")
kestrum=$(realpath "${3:?}")
command -v systemd-analyze >/dev/null || { echo "units_check: systemd-analyze is not installed" >&2; exit 1; }

work=$(mktemp -d /tmp/kestrum-units.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/default" "$work/bin"
ln -s "$server" "$work/bin/kestrum-server"
ln -s "$kestrum" "$work/bin/kestrum"
for unit in kestrum-server.service kestrum-probe.service; do
  sed -e "s|@KESTRUM_BINDIR@|$work/bin|g" -e "s|@KESTRUM_SYSCONFDIR@|$work|g" \
    "$src/packaging/systemd/$unit.in" >"$work/$unit"
done
cp "$src/packaging/systemd/kestrum-probe.timer" "$work/"
cp "$src/packaging/systemd/kestrum-probe.default" "$work/default/kestrum-probe"
if grep -n '@[A-Z_]*@' "$work"/*.service; then
  echo "units_check: a placeholder was left unconfigured" >&2
  exit 1
fi

cd "$work"
status=0
out=$(MANPATH="$src/packaging/man" SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=yes \
  ./kestrum-server.service ./kestrum-probe.service ./kestrum-probe.timer 2>&1) || status=$?
if [ "$status" != 0 ] || [ -n "$out" ]; then
  echo "units_check: systemd-analyze verify (exit $status) says:" >&2
  echo "$out" >&2
  exit 1
fi
echo "units_check: systemd-analyze verify passes on kestrum-server.service, kestrum-probe.service, kestrum-probe.timer"
