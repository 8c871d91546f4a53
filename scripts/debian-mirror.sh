# The Debian mirror this machine's apt uses, for scripts that fetch from Debian themselves (set-up's
# private apt configuration, debootstrap). Sourced, not run:
#
#   . scripts/debian-mirror.sh
#   mirror=$(debian_mirror) || exit 1      # the URI as apt has it, without a trailing slash
#
# It reads the sources apt reads (Dir::Etc::sourcelist and Dir::Etc::sourceparts: one-line
# sources.list and *.list, deb822 *.sources), so APT_CONFIG points it elsewhere like apt itself. Of the
# enabled `deb` entries, the Debian archive is the one whose release suite (no dash: bookworm, not
# bookworm-security or bookworm-updates) is
#   1. Debian's by the Release file apt downloaded for it (Origin: Debian, Label: Debian), else
#   2. signed by Debian's archive keyring (Signed-By), else
#   3. the only unsigned entry of a release suite with the component main.
# Third-party repositories fail all three. KESTRUM_DEBIAN_MIRROR, when set, is taken as it is.

# Prints one line per enabled binary entry: URI SUITE SIGNED-BY COMPONENTS... ("-" for no Signed-By).
debian_mirror_entries() {
  local list parts
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  local one_line=() deb822=()
  [ -f "$list" ] && one_line+=("$list")
  for f in "$parts"*.list; do [ -f "$f" ] && one_line+=("$f"); done
  for f in "$parts"*.sources; do [ -f "$f" ] && deb822+=("$f"); done
  if [ "${#one_line[@]}" -gt 0 ]; then
    # deb [opt=value ...] URI SUITE COMPONENT...
    awk '
      { sub(/#.*/, "") }
      $1 != "deb" { next }
      {
        signed = "-"; i = 2
        if ($2 ~ /^\[/) {
          opts = ""
          for (; i <= NF; i++) { opts = opts " " $i; if ($i ~ /\]$/) { i++; break } }
          gsub(/[][]/, "", opts)
          n = split(opts, o, " ")
          for (j = 1; j <= n; j++) if (o[j] ~ /^signed-by=/) { signed = substr(o[j], 11) }
        }
        line = $i " " $(i + 1) " " signed
        for (k = i + 2; k <= NF; k++) line = line " " $k
        print line
      }' "${one_line[@]}"
  fi
  if [ "${#deb822[@]}" -gt 0 ]; then
    # Stanzas of Field: value lines, a blank line between them; continuation lines (an embedded key)
    # start with a space and are skipped.
    awk '
      function flush(   nu, ns, u, s, x, su, ss) {
        if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no") {
          nu = split(uris, u, " "); ns = split(suites, s, " ")
          for (x = 1; x <= nu; x++) for (y = 1; y <= ns; y++)
            print u[x] " " s[y] " " (signed == "" ? "-" : signed) " " comps
        }
        types = uris = suites = comps = signed = enabled = ""
      }
      FNR == 1 { flush() }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { next }
      {
        field = tolower($1); sub(/:$/, "", field)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value); sub(/[ \t]+$/, "", value)
        if (field == "types") types = value
        else if (field == "uris") uris = value
        else if (field == "suites") suites = value
        else if (field == "components") comps = value
        else if (field == "signed-by") signed = (value == "" ? "-" : value)
        else if (field == "enabled") enabled = value
      }
      END { flush() }' "${deb822[@]}"
  fi
}

# The mirror's URI on stdout; a message on stderr and status 1 when apt has no Debian archive.
debian_mirror() {
  if [ -n "${KESTRUM_DEBIAN_MIRROR:-}" ]; then
    echo "${KESTRUM_DEBIAN_MIRROR%/}"
    return 0
  fi
  local lists
  eval "$(apt-config shell lists Dir::State::lists/d)"
  local uri suite signed comps by_release="" by_key="" unsigned=()
  while read -r uri suite signed comps; do
    case "$uri" in http://* | https://* | ftp://* | file:/*) ;; *) continue ;; esac
    case "$suite" in *-* | */* | "") continue ;; esac
    uri=${uri%/}
    # apt names a downloaded Release file after the URI without its scheme, slashes made underscores.
    local stem release
    stem="$lists$(echo "${uri#*://}" | tr / _)_dists_${suite}"
    for release in "${stem}_InRelease" "${stem}_Release"; do
      if [ -f "$release" ] && grep -qx 'Origin: Debian' "$release" && grep -qx 'Label: Debian' "$release"; then
        by_release=${by_release:-$uri}
      fi
    done
    case "$signed" in
      *debian-archive-keyring*) by_key=${by_key:-$uri} ;;
      -) case " $comps " in *" main "*) unsigned+=("$uri") ;; esac ;;
    esac
  done < <(debian_mirror_entries)
  if [ -n "$by_release" ]; then
    echo "$by_release"
  elif [ -n "$by_key" ]; then
    echo "$by_key"
  elif [ "${#unsigned[@]}" -gt 0 ] && [ "$(printf '%s\n' "${unsigned[@]}" | sort -u | wc -l)" = 1 ]; then
    echo "${unsigned[0]}"
  else
    local where
    eval "$(apt-config shell where Dir::Etc/d)"
    echo "No Debian archive in apt's sources (${where}sources.list, ${where}sources.list.d/*.list and" \
         "*.sources): add the Debian mirror you use there (deb822: Types: deb, URIs: MIRROR, Suites:" \
         "$(. /etc/os-release 2>/dev/null; echo "${VERSION_CODENAME:-bookworm}"), Components: main)," \
         "or set KESTRUM_DEBIAN_MIRROR=MIRROR." >&2
    return 1
  fi
}
