#!/usr/bin/env bash
# Installs node-media-server 4 from the npm registry into .deps/nms, a folder
# of this checkout, for the live-recording tests. Needs Node.js and npm.
set -euo pipefail
cd "$(dirname "$0")/.."
DIR=.deps/nms
if [ -f "$DIR/node_modules/node-media-server/package.json" ]; then
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  ./scripts/deps.sh nodejs npm
fi
mkdir -p "$DIR"
npm install --prefix "$DIR" --no-audit --no-fund --loglevel=error node-media-server@4
