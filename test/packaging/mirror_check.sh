#!/usr/bin/env bash
# scripts/debian-mirror.sh against a table of apt configurations: each case writes sources (and sometimes
# a downloaded Release file) into a folder of its own, points apt at it with APT_CONFIG, and checks the
# mirror chosen, or that there is none and the message says what to do.
#
#   mirror_check.sh SOURCE_DIR
set -uo pipefail
src=${1:?usage: mirror_check.sh SOURCE_DIR}
# shellcheck source=../../scripts/debian-mirror.sh
. "$src/scripts/debian-mirror.sh"
unset KESTRUM_DEBIAN_MIRROR

work=$(mktemp -d /tmp/kestrum-mirror.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
n=0

# case NAME EXPECTED: EXPECTED is a URI, or "none" for a refusal. Files come from the functions below,
# each writing into $etc (sources.list, sources.list.d/) and $lists.
run_case() {
  local name=$1 expected=$2 setup=$3
  n=$((n + 1))
  local dir="$work/$n"
  etc="$dir/etc/" lists="$dir/lists/"
  mkdir -p "$etc/sources.list.d" "$etc/apt.conf.d" "$lists"
  printf 'Dir::Etc "%s";\nDir::State::lists "%s";\n' "$etc" "$lists" >"$dir/apt.conf"
  "$setup"
  local out err status
  out=$(APT_CONFIG="$dir/apt.conf" debian_mirror 2>"$dir/err")
  status=$?
  err=$(cat "$dir/err")
  if [ "$expected" = none ]; then
    if [ "$status" = 0 ] || ! grep -q 'No Debian archive' <<<"$err" || ! grep -q KESTRUM_DEBIAN_MIRROR <<<"$err"; then
      echo "FAILED: $name: expected a refusal with a message, got status $status, '$out', '$err'"
      failures=$((failures + 1))
      return
    fi
  elif [ "$status" != 0 ] || [ "$out" != "$expected" ]; then
    echo "FAILED: $name: expected $expected, got status $status, '$out', '$err'"
    failures=$((failures + 1))
    return
  fi
  echo "ok: $name"
}

deb822_security_first() {
  cat >"$etc/sources.list.d/debian.sources" <<'EOF'
Types: deb
URIs: http://security.mirror.test/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb deb-src
# a comment inside the stanza
URIs: http://archive.mirror.test/debian/
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  cat >"$etc/sources.list.d/vendor.sources" <<'EOF'
Types: deb
URIs: https://vendor.test/repo
Suites: nodistro
Components: main
Signed-By: /usr/share/keyrings/vendor.gpg
EOF
}

deb822_disabled() {
  cat >"$etc/sources.list.d/debian.sources" <<'EOF'
Types: deb
URIs: http://archive.mirror.test/debian
Suites: bookworm
Components: main
Enabled: no
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
}

deb822_only_source_entries() {
  cat >"$etc/sources.list.d/debian.sources" <<'EOF'
Types: deb-src
URIs: http://archive.mirror.test/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
}

one_line_with_options() {
  cat >"$etc/sources.list" <<'EOF'
# deb cdrom:[Debian GNU/Linux 12]/ bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://archive.mirror.test/debian bookworm main
deb http://security.mirror.test/debian-security bookworm-security main
EOF
}

one_line_unsigned_beside_vendor_of_same_suite() {
  cat >"$etc/sources.list" <<'EOF'
deb http://archive.mirror.test/debian bookworm main non-free-firmware
deb http://archive.mirror.test/debian bookworm-updates main
EOF
  # A vendor repository named after the release, with its own key and no component main.
  echo 'deb [signed-by=/usr/share/keyrings/vendor.gpg] https://vendor.test/linux/debian bookworm stable' \
    >"$etc/sources.list.d/vendor.list"
}

two_unsigned_told_apart_by_release_file() {
  cat >"$etc/sources.list" <<'EOF'
deb http://other.test/debian bookworm main
deb http://archive.mirror.test/debian bookworm main
EOF
  printf 'Origin: Debian\nLabel: Debian\nSuite: stable\nCodename: bookworm\n' \
    >"${lists}archive.mirror.test_debian_dists_bookworm_InRelease"
  printf 'Origin: Other\nLabel: Other\nCodename: bookworm\n' >"${lists}other.test_debian_dists_bookworm_InRelease"
}

two_unsigned_without_release_files() {
  cat >"$etc/sources.list" <<'EOF'
deb http://other.test/debian bookworm main
deb http://archive.mirror.test/debian bookworm main
EOF
}

only_vendor_repositories() {
  echo 'deb [signed-by=/usr/share/keyrings/vendor.gpg] https://vendor.test/repo nodistro main' \
    >"$etc/sources.list.d/vendor.list"
  printf 'Types: deb\nURIs: https://cloud.test/apt\nSuites: cloud-sdk\nComponents: main\n' \
    >"$etc/sources.list.d/cloud.sources"
}

nothing_at_all() { :; }

run_case "deb822: the archive, not -security, -updates or a vendor's" http://archive.mirror.test/debian \
  deb822_security_first
run_case "deb822: a disabled stanza does not count" none deb822_disabled
run_case "deb822: source entries alone do not count" none deb822_only_source_entries
run_case "one-line: options and comments" http://archive.mirror.test/debian one_line_with_options
run_case "one-line: unsigned archive beside a vendor's repository of the same suite" \
  http://archive.mirror.test/debian one_line_unsigned_beside_vendor_of_same_suite
run_case "two unsigned: the one apt's Release file says is Debian's" http://archive.mirror.test/debian \
  two_unsigned_told_apart_by_release_file
run_case "two unsigned, nothing to tell them apart: no guess" none two_unsigned_without_release_files
run_case "only vendor repositories" none only_vendor_repositories
run_case "no sources at all" none nothing_at_all

# The override is taken as given, trailing slash dropped.
out=$(KESTRUM_DEBIAN_MIRROR=http://override.test/debian/ APT_CONFIG=/dev/null debian_mirror)
if [ "$out" = http://override.test/debian ]; then echo "ok: KESTRUM_DEBIAN_MIRROR"; else
  echo "FAILED: KESTRUM_DEBIAN_MIRROR gave '$out'"; failures=$((failures + 1)); fi

[ "$failures" = 0 ] || { echo "mirror_check: $failures failed"; exit 1; }
echo "mirror_check: all $((n + 1)) cases hold"
