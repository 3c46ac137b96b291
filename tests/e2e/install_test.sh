#!/bin/sh
# Installs the build tree into a temporary DESTDIR and checks what a user
# gets: both programs, runnable; a manual page for each that names every
# option the program itself lists; the desktop entry.
set -eu
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest cmake --install "$build" --prefix /usr/local >/dev/null
root=$dest/usr/local
status=0
fail() { echo "FAIL: $*"; status=1; }

for program in korvid korvid-server; do
  [ -x "$root/bin/$program" ] || fail "no program bin/$program"
  page=$root/share/man/man1/$program.1
  [ -s "$page" ] || fail "no manual page $page"
  for section in NAME SYNOPSIS OPTIONS ENVIRONMENT FILES "EXIT STATUS"; do
    grep -q "^\.SH \"\?$section" "$page" || fail "$program.1 has no $section section"
  done
  if command -v groff >/dev/null; then
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || true
    [ -z "$warnings" ] || fail "$program.1: $warnings"
  fi
done

# Every option korvid-server --help lists is described in its page.
help=$("$root/bin/korvid-server" --help) || fail "korvid-server --help failed"
for option in $(printf '%s\n' "$help" | grep -o -- '--[a-z]*' | sort -u); do
  grep -q -- "$(printf '%s' "$option" | sed 's/-/\\\\-/g')" "$root/share/man/man1/korvid-server.1" ||
    fail "korvid-server.1 does not describe $option"
done
desktop=$root/share/applications/korvid.desktop
[ -s "$desktop" ] || fail "no desktop entry"
grep -qx 'Exec=korvid' "$desktop" || fail "the desktop entry does not run korvid"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "desktop entry not valid"
fi
exit $status
