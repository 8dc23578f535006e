#!/bin/bash
# The file-change monitor on a large tree: how long vireotifyd takes to watch it, how many
# watches it holds, its memory, and how soon a write deep in the tree reaches the queue.
# Runs inside the appliance (it registers a tree on /volume1):
#
#   harbor/appliance/appliance run --build build -- $PWD/bench/monitor_bench.sh [FOLDERS]
#
# FOLDERS (default 100000) folders are made as a three-level tree under /volume1/docs/bench.
# The kernel's limit fs.inotify.max_user_watches must be above FOLDERS (one watch per folder).
set -euo pipefail
FOLDERS=${1:-100000}
TREE=/volume1/docs/bench
QUEUE=/var/packages/Paperlens/target/index/bench-queue
STATUS=/run/vireotifyd-bench.status
REG=/usr/vireo/etc/vireotifyd/bench.2.json

limit=$(cat /proc/sys/fs/inotify/max_user_watches)
echo "folders wanted: $FOLDERS; fs.inotify.max_user_watches: $limit"

rm -rf "$TREE" "$QUEUE" "$STATUS"
python3 - "$TREE" "$FOLDERS" <<'PY'
import os, sys
top, n = sys.argv[1], int(sys.argv[2])
os.makedirs(top)
made = 1
a = 0
while made < n:
    first = os.path.join(top, "a%03d" % a); os.mkdir(first); made += 1
    b = 0
    while made < n and b < 100:
        second = os.path.join(first, "b%03d" % b); os.mkdir(second); made += 1
        c = 0
        while made < n and c < 100:
            os.mkdir(os.path.join(second, "c%03d" % c)); made += 1; c += 1
        b += 1
    a += 1
print("folders made:", made)
PY

mkdir -p /usr/vireo/etc/vireotifyd
printf '{"queue":"%s","config":[{"mask":72,"ignore":["@eaDir"],"path":"%s"}]}\n' "$QUEUE" "$TREE" > "$REG"

# Unreclaimable kernel slab (where inotify marks live), machine-wide: other work on the machine
# shows in it too, so the difference is an estimate.
unreclaim() { awk '/^SUnreclaim:/ {print $2}' /proc/meminfo; }
slab0=$(unreclaim)
start=$(date +%s%N)
/usr/vireo/bin/vireotifyd --status "$STATUS" &
PID=$!
trap 'kill $PID 2>/dev/null || true; rm -rf "$TREE" "$REG" "$QUEUE"' EXIT
until [ -f "$STATUS" ] && grep -q '"ready":true' "$STATUS"; do sleep 0.01; done
ready=$(date +%s%N)
echo "start until every folder is watched: $(( (ready - start) / 1000000 )) ms"
echo "status: $(cat "$STATUS")"
grep -E '^(VmRSS|VmHWM)' /proc/$PID/status
echo "unreclaimable kernel slab grew by about $(( $(unreclaim) - slab0 )) kB"
if [ -r /proc/slabinfo ]; then
  { grep -E '^inotify_inode_mark' /proc/slabinfo || true; } | awk '{printf "kernel inotify marks: %s objects of %s bytes (%.1f MiB)\n", $2, $4, $2*$4/1048576}'
fi

# Latency of one write deep in the tree.
deep=$(find "$TREE" -mindepth 3 -maxdepth 3 -type d | tail -1)
t0=$(date +%s%N)
echo "0123456789abcdef" > "$deep/doc.docx"
until [ -f "$QUEUE" ] && grep -q "$deep/doc.docx" "$QUEUE"; do sleep 0.001; done
t1=$(date +%s%N)
echo "write to queue record: $(( (t1 - t0) / 1000 )) us"

# A registration change (every watch dropped and made anew, the "c000" folders now ignored).
before=$(grep -o '"watches":[0-9]*' "$STATUS")
t0=$(date +%s%N)
printf '{"queue":"%s","config":[{"mask":72,"ignore":["@eaDir","c000"],"path":"%s"}]}\n' "$QUEUE" "$TREE" > "$REG.tmp"
mv "$REG.tmp" "$REG"
until [ "$(grep -o '"watches":[0-9]*' "$STATUS" || true)" != "$before" ]; do sleep 0.01; done
t1=$(date +%s%N)
echo "registration change, watches rebuilt: $(( (t1 - t0) / 1000000 )) ms; status: $(cat "$STATUS")"
grep -E '^VmRSS' /proc/$PID/status
