#!/bin/bash
# The appliance sandbox must leave no trace on the host: after it ran (and wrote wherever it
# could), the host's /var/packages, /usr/vireo, /volume*, /etc, /root and /tmp are as before.
set -euo pipefail
APPLIANCE=$1
BUILD=$2

snapshot() {
  {
    for p in /var/packages /usr/vireo /volume1 /volume2 /usr/local/bin/docker; do
      if [ -e "$p" ]; then echo "exists $p"; fi
    done
    # Names, sizes and times of /etc, and the account files' content.
    find /etc -xdev -maxdepth 2 -printf '%p %s %T@\n' 2>/dev/null | sort
    md5sum /etc/passwd /etc/group /etc/shadow 2>/dev/null
    for p in /root/appliance-leak-$$ /tmp/appliance-leak-$$ /home/appliance-leak-$$; do
      if [ -e "$p" ]; then echo "exists $p"; fi
    done
  } > "$1"
}

before=$(mktemp /tmp/appliance-leak.XXXXXX)
after=$(mktemp /tmp/appliance-leak.XXXXXX)
trap 'rm -f "$before" "$after"' EXIT
snapshot "$before"

state=$("$APPLIANCE" run --build "$BUILD" -- /bin/bash -c '
  set -e
  echo "$APPLIANCE_STATE"
  echo x > /volume1/docs/leak.txt
  echo x > /volume2/archive/leak.txt
  echo x > /var/packages/Paperlens/etc/leak
  echo x > /usr/vireo/etc/leak
  echo x > /etc/leak
  echo "mallory:x:4242:4242::/:/bin/sh" >> /etc/passwd
  echo x > /root/appliance-leak-'$$'
  echo x > /tmp/appliance-leak-'$$'
  echo x > /home/appliance-leak-'$$'
  mkdir -p /var/packages/Other /volume3 2>/dev/null || true
  logger -p user.err leak-test
  grep -q leak-test /var/log/messages || { sleep 0.2; grep -q leak-test /var/log/messages; }
')

snapshot "$after"
if ! diff -u "$before" "$after"; then
  echo "the appliance changed the host" >&2
  exit 1
fi
# Its temporary state folder is gone too.
case $state in /tmp/appliance.*) ;; *) echo "unexpected state folder: $state" >&2; exit 1 ;; esac
if [ -e "$state" ]; then echo "state folder left behind: $state" >&2; exit 1; fi
echo "no trace left"
