#!/bin/bash
# The docker share, which holds the converters' staging area, is writable only by root and
# administrators, and its @tmp only by root: in a fresh state folder, and in one provisioned
# with the looser modes of before (whose staging tree a user may have shaped), at every start.
set -euo pipefail
APPLIANCE=$1
BUILD=$2

state=$(mktemp -d /tmp/appliance-share.XXXXXX)
trap 'rm -rf "$state"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Inside the appliance: owners and modes, and what each kind of user may create.
check='
  set -u
  mode() { stat -c "%u:%g %a" "$1"; }
  as() { local uid=$1 groups=$2; shift 2; setpriv --reuid "$uid" --regid 100 --groups "$groups" -- "$@" 2>/dev/null; }
  [ "$(mode /volume1/docker)" = "0:1101 775" ] || { echo "share: $(mode /volume1/docker)"; exit 1; }
  [ "$(mode /volume1/docker/@tmp)" = "0:0 755" ] || { echo "@tmp: $(mode /volume1/docker/@tmp)"; exit 1; }
  if as 1026 100 touch /volume1/docker/@tmp/by-alice; then echo "alice wrote @tmp"; exit 1; fi
  if as 1026 100 mkdir /volume1/docker/by-alice; then echo "alice wrote the share"; exit 1; fi
  if as 1028 100,1101 touch /volume1/docker/@tmp/by-admin; then echo "admin wrote @tmp"; exit 1; fi
  as 1028 100,1101 touch /volume1/docker/by-admin || { echo "admin cannot write the share"; exit 1; }
  rm -f /volume1/docker/by-admin
  staging=/volume1/docker/@tmp/Paperlens
  [ "$(stat -c %u "$staging")" = 0 ] && [ ! -L "$staging/@tmp" ] || { echo "staging tree not root'"'"'s"; exit 1; }
  for d in "$staging" "$staging/@tmp/source" "$staging/@tmp/target"; do
    [ "$(mode "$d")" = "0:0 700" ] || { echo "$d: $(mode "$d")"; exit 1; }
  done
  exit 0
'

"$APPLIANCE" run --state "$state" --build "$BUILD" -- /bin/bash -c "$check" || fail "fresh state folder"

# A state folder from before: open @tmp, and a staging tree alice made, its @tmp a link out.
chmod 0777 "$state/volume1/docker/@tmp"
chown 0:0 "$state/volume1/docker"
chmod 0755 "$state/volume1/docker"
rm -rf "$state/volume1/docker/@tmp/Paperlens"
mkdir "$state/volume1/docker/@tmp/Paperlens"
ln -s /etc "$state/volume1/docker/@tmp/Paperlens/@tmp"
chown -h 1026:100 "$state/volume1/docker/@tmp/Paperlens" "$state/volume1/docker/@tmp/Paperlens/@tmp"
"$APPLIANCE" run --state "$state" --build "$BUILD" -- /bin/bash -c "$check" || fail "old state folder"

# A sound staging tree is left as it is.
echo kept > "$state/volume1/docker/@tmp/Paperlens/kept"
"$APPLIANCE" run --state "$state" --build "$BUILD" -- /bin/bash -c "$check" || fail "third start"
[ -f "$state/volume1/docker/@tmp/Paperlens/kept" ] || fail "a sound staging tree was removed"
echo "docker share safe"
