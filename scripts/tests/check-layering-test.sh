#!/bin/bash
# The layering check on a small tree: what it must let pass, then one include of
# each kind it must refuse, each reported with its file and line.
set -u
check=$(cd "$(dirname "$0")/.." && pwd)/check-layering.sh
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

put() {  # put FILE LINE...
  mkdir -p "$tree/$(dirname "$1")"
  local f=$1
  shift
  printf '%s\n' "$@" >"$tree/$f"
}

put platform/Sock.cpp '#include <sys/socket.h>' '#include <sys/epoll.h>' '#include "platform/WinSock.h"'
put core/Queue.cpp '#include "core/Classes.h"' '#include "platform/WinMsg.h"'
put app/Run.cpp '#include "http/HttpProt.h"' '#include "net/WSocket.h"' '#include <vector>'
put net/tests/PeerTest.cpp '#include <netinet/in.h>' '#include "testsupport/ScriptedPeer.h"' '#include "net/WSocket.h"'
put bench/raw.cpp '#include <sys/socket.h>' '#include "app/SpeedRun.h"'

out=$("$check" "$tree")
if [[ $? != 0 ]]; then
  echo "FAIL: a sound tree was refused:"
  echo "$out"
  exit 1
fi

put net/Up.cpp '#include <string>' '#include "http/HttpProt.h"'
put core/Raw.cpp '  #  include <netinet/in.h>'
put http/Peer.cpp '#include "testsupport/ScriptedPeer.h"'
put net/tests/UpTest.cpp '#include "app/SpeedRun.h"'
put app/DemoServer.cpp '#include <arpa/inet.h>'

out=$("$check" "$tree")
rc=$?
status=0
expect() {
  grep -qF -- "$1" <<<"$out" || { echo "FAIL: not reported: $1"; status=1; }
}
[[ $rc == 1 ]] || { echo "FAIL: exit code $rc, not 1"; status=1; }
expect "net/Up.cpp:2: net/ includes http/, a layer above it"
expect "core/Raw.cpp:1: socket header <netinet/in.h> outside platform/"
expect "http/Peer.cpp:1: includes testsupport/, which is not a layer below http/"
expect "net/tests/UpTest.cpp:1: net/ includes app/, a layer above it"
expect "app/DemoServer.cpp:1: socket header <arpa/inet.h> outside platform/"
expect "5 include(s) break the layering"
[[ $status == 0 ]] || echo "$out"
exit $status
