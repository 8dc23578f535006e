#!/bin/bash
# An appliance restart with indexed folders starts the indexing daemon again: a folder is set
# over HTTP in one run of an appliance, and the next run of the same state has the daemon.
set -euo pipefail
APPLIANCE=$1
BUILD=$2
STATE=$(mktemp -d /tmp/index-restart.XXXXXX)
trap 'rm -rf "$STATE"' EXIT

"$APPLIANCE" run --state "$STATE" --build "$BUILD" -- /bin/bash -c '
  set -euo pipefail
  mkdir -p /volume1/docs/idx
  /bin/bash "$APPLIANCE_REPO/harbor/appliance/serve" --port 18497 --background
  api=http://127.0.0.1:18497/webapi/entry.cgi
  curl -s -c /tmp/cookies "$api?api=VIREO.API.Auth&version=1&method=login&account=%22admin%22&passwd=%22admin123%22" | grep -q "\"success\":true"
  answer=$(curl -s -b /tmp/cookies "$api?api=VIREO.Paperlens.Index&version=1&method=set&path=%22/docs/idx%22&enable_thumbnail=true&enable_preconvert=false")
  echo "set: $answer"
  echo "$answer" | grep -q "\"success\":true"
  /bin/bash "$APPLIANCE_REPO/harbor/appliance/serve" --port 18497 --stop
'

"$APPLIANCE" run --state "$STATE" --build "$BUILD" -- /bin/bash -c '
  for _ in $(seq 1 100); do
    pid=$(cat /var/run/paperlensd.pid 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then echo "daemon $pid runs"; exit 0; fi
    sleep 0.1
  done
  echo "no daemon after the restart" >&2
  exit 1
'
