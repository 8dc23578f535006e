#!/bin/bash
# run_browser_test.sh APPLIANCE BUILD_DIR: the viewer page in headless Chromium, inside a fresh
# appliance. Installs the pinned driver (npm ci) into the build folder when it is missing or its
# lock changed, then runs viewer_test.js in the appliance. The appliance's state is kept under
# BUILD_DIR/tests/browser/state (renewed every run) and the screenshots are copied to
# BUILD_DIR/tests/browser/.
set -euo pipefail

APPLIANCE=$1
BUILD=$(cd "$2" && pwd)
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WORK=$BUILD/tests/browser
PORT=${BROWSER_TEST_PORT:-18590}

command -v node >/dev/null || { echo "browser test: node is missing" >&2; exit 1; }
[ -x /usr/bin/chromium ] || { echo "browser test: /usr/bin/chromium is missing (make setup installs it)" >&2; exit 1; }

mkdir -p "$WORK"
if [ ! -d "$WORK/node_modules/playwright-core" ] || ! cmp -s "$HERE/package-lock.json" "$WORK/package-lock.json"; then
  cp "$HERE/package.json" "$HERE/package-lock.json" "$WORK/"
  # Never a browser of its own: the driver runs the system's Chromium.
  (cd "$WORK" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi

rm -rf "$WORK/state" "$WORK"/*.png
set +e
NODE_PATH="$WORK/node_modules" "$APPLIANCE" run --state "$WORK/state" --build "$BUILD" -- \
  node "$HERE/viewer_test.js" "$PORT" /var/log/browser
rc=$?
set -e
cp "$WORK/state/log/browser/"*.png "$WORK/" 2>/dev/null || true
exit $rc
