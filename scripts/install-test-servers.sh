#!/usr/bin/env bash
# What the tests need beyond the build: the real peers they start (nginx, squid,
# dante-server, microsocks, the NTLM and SOCKS scripts' libraries, curl,
# openssl), the system account dante's user/password method checks, a
# comma-decimal locale, and the tools that check an installation (the desktop
# entry's validator, groff for the manual pages). Debian 12, as root. Says what
# it does before it does it; does nothing when all is present, so scripts/test.sh
# calls it every time.
set -euo pipefail

packages=(
  nginx squid dante-server microsocks python3-ntlm-auth libio-socket-socks-perl curl openssl
  locales
  desktop-file-utils groff-base
  # the fuzz seeds of the compressed codings are made with the coders' own tools
  gzip brotli zstd
  # HTTP/2: nghttpd as a second server, h2load and nghttp for the comparison bench
  nghttp2-server nghttp2-client
  # the probe server: promtool checks its exposition, a real Prometheus scrapes it
  prometheus
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

need_account=0
id tachysocks >/dev/null 2>&1 || need_account=1
# The command line's JSON must keep its decimal dot in a locale that writes a
# comma; the test skips itself when this locale is missing.
need_locale=0
locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$' || need_locale=1

if ((${#missing[@]} == 0 && need_account == 0 && need_locale == 0)); then
  echo "install-test-servers: test servers, tools, account tachysocks and locale de_DE.UTF-8 present"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  what="${missing[*]:-}"
  if ((need_account)); then what+=" account:tachysocks"; fi
  if ((need_locale)); then what+=" locale:de_DE.UTF-8"; fi
  echo "install-test-servers: missing ${what} (run as root)" >&2
  exit 1
fi

if ((${#missing[@]})); then
  echo "install-test-servers: installing the packages ${missing[*]}"
  apt-get update -qq
  # policy-rc.d on this image keeps the packages from starting system services;
  # the tests never use those anyway, only their own instances on free ports.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if ((need_account)); then
  echo "install-test-servers: adding the system account tachysocks (no home, no login shell) for the SOCKS tests"
  useradd -M -N -r -s /usr/sbin/nologin tachysocks
  echo 'tachysocks:s0ckspw' | chpasswd
fi

if ((need_locale)); then
  echo "install-test-servers: generating the locale de_DE.UTF-8"
  localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
