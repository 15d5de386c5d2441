#!/usr/bin/env bash
# Installs the real peers the tests start (nginx, squid, dante-server, microsocks,
# the NTLM and SOCKS scripts' libraries, curl, openssl) and the system account
# dante's user/password method checks. Debian 12, as root. Does nothing when all
# is present, so the main set-up script may call it every time.
set -euo pipefail

packages=(nginx squid dante-server microsocks python3-ntlm-auth libio-socket-socks-perl curl openssl)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

need_account=0
id tachysocks >/dev/null 2>&1 || need_account=1

if ((${#missing[@]} == 0 && need_account == 0)); then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  what="${missing[*]:-}"
  if ((need_account)); then what+=" account:tachysocks"; fi
  echo "install-test-servers: missing ${what} (run as root)" >&2
  exit 1
fi

if ((${#missing[@]})); then
  echo "install-test-servers: installing ${missing[*]}"
  apt-get update -qq
  # policy-rc.d on this image keeps the packages from starting system services;
  # the tests never use those anyway, only their own instances on free ports.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if ((need_account)); then
  useradd -M -N -r -s /usr/sbin/nologin tachysocks
  echo 'tachysocks:s0ckspw' | chpasswd
fi
