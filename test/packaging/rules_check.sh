#!/usr/bin/env bash
# The alerting rules as Prometheus reads them: `promtool check rules` finds them all and nothing to say,
# and `promtool test rules` passes their cases (for every alert, a case where it fires and one where it
# does not). Every alert of the rules file must have a case in the tests file.
#   rules_check.sh SOURCE_DIR
set -euo pipefail
dir=${1:?usage: rules_check.sh SOURCE_DIR}/packaging/prometheus
command -v promtool >/dev/null || { echo "rules_check: promtool is not installed (scripts/setup installs it)" >&2; exit 1; }
out=$(promtool check rules "$dir/kestrum.rules.yml" 2>&1) || { echo "$out" >&2; exit 1; }
case "$out" in
  *"SUCCESS: "*" rules found"*) ;;
  *) echo "rules_check: promtool check rules says: $out" >&2; exit 1 ;;
esac
if echo "$out" | grep -qiE 'warn|lint'; then echo "rules_check: promtool check rules says: $out" >&2; exit 1; fi
for alert in $(sed -n 's/^ *- alert: *//p' "$dir/kestrum.rules.yml"); do
  grep -q "alertname: $alert\$" "$dir/kestrum.rules.test.yml" || { echo "rules_check: no case for $alert" >&2; exit 1; }
done
(cd "$dir" && promtool test rules kestrum.rules.test.yml) || exit 1
echo "rules_check: $(sed -n 's/^ *- alert: *//p' "$dir/kestrum.rules.yml" | wc -l) alerts, check rules clean, test rules pass"
