#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a person gets:
# the layout, the desktop entry, the manual pages, the completion, and the
# installed command line running its demo.
# Usage: check-install.sh BUILD_DIR
set -euo pipefail
build="$1"
prefix="$(mktemp -d /tmp/tlinstall.XXXXXX)"
trap 'rm -rf "$prefix"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/tachyload bin/tachyload-cli; do
  [ -x "$prefix/$f" ] || fail "$f missing or not executable"
done
for f in share/applications/tachyload.desktop share/icons/hicolor/scalable/apps/tachyload.svg \
         share/man/man1/tachyload.1 share/man/man1/tachyload-cli.1 \
         share/bash-completion/completions/tachyload-cli share/doc/tachyload/index.html \
         lib/systemd/system/tachyload-probe.service share/tachyload/probe.yml; do
  [ -s "$prefix/$f" ] || fail "$f missing or empty"
done

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/share/applications/tachyload.desktop" || fail "desktop entry invalid"
else
  echo "check-install: desktop-file-validate missing, desktop entry not validated"
fi
grep -qx 'Exec=tachyload' "$prefix/share/applications/tachyload.desktop" || fail "desktop entry runs another program"
python3 -c 'import sys, xml.etree.ElementTree as E; assert E.parse(sys.argv[1]).getroot().tag.endswith("svg")' \
  "$prefix/share/icons/hicolor/scalable/apps/tachyload.svg" || fail "icon is not an SVG"

for page in tachyload tachyload-cli; do
  warnings="$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$prefix/share/man/man1/$page.1" 2>&1)"
  [ -z "$warnings" ] || fail "man page $page.1: $warnings"
done

cli="$prefix/bin/tachyload-cli"
help="$("$cli" --help)"
# Every option the program lists is in the manual page and the completion.
for opt in $(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
  grep -qF -- "${opt//-/\\-}" "$prefix/share/man/man1/tachyload-cli.1" || fail "man page lacks $opt"
  grep -qw -- "$opt" "$prefix/share/bash-completion/completions/tachyload-cli" || fail "completion lacks $opt"
done
completed="$(bash -c 'source "$1"; COMP_WORDS=(tachyload-cli --dem); COMP_CWORD=1; _tachyload_cli; echo "${COMPREPLY[*]}"' \
  _ "$prefix/share/bash-completion/completions/tachyload-cli")"
[ "$completed" = "--demo" ] || fail "completion of --dem gave '$completed'"

version="$("$cli" --version)"
[[ "$version" =~ ^tachyload-cli\ [0-9]+\.[0-9]+ ]] || fail "--version printed '$version'"
# The run is recorded in the prefix, never in the home of whoever runs the check.
demo="$(XDG_DATA_HOME="$prefix/data" "$cli" --demo -n 2)" || fail "--demo -n 2 failed"
[ -s "$prefix/data/tachyload/history.sqlite3" ] || fail "the demo run was not recorded"
grep -q '^demo: serving a 10 kB page on http://127.0.0.1:' <<<"$demo" || fail "--demo said: $demo"
grep -qx 'Number of loads: 2' <<<"$demo" || fail "--demo report: $demo"
grep -qx 'Bytes downloaded: 20480' <<<"$demo" || fail "--demo report: $demo"
# The service runs the installed program with the installed module file, which
# the program accepts.
grep -qx 'ExecStart=/usr/bin/tachyload-cli --serve ${TACHYLOAD_PROBE_LISTEN} --config ${TACHYLOAD_PROBE_CONFIG}' \
  "$prefix/lib/systemd/system/tachyload-probe.service" || fail "the probe service runs another command"
grep -q '^Environment=TACHYLOAD_PROBE_CONFIG=/usr/share/tachyload/probe.yml$' \
  "$prefix/lib/systemd/system/tachyload-probe.service" || fail "the probe service reads another module file"
if command -v systemd-analyze >/dev/null && [ -d /run/systemd/system ]; then
  systemd-analyze verify "$prefix/lib/systemd/system/tachyload-probe.service" || fail "probe service invalid"
fi
probe_out="$(timeout 3 "$cli" --serve 127.0.0.1:0 --config "$prefix/share/tachyload/probe.yml" 2>&1 | head -1)" || true
grep -q '^tachyload: probe server listening on 127.0.0.1:' <<<"$probe_out" ||
  fail "--serve with the shipped modules said: $probe_out"
echo "check-install: $prefix laid out and working"
