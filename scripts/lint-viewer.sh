#!/usr/bin/env bash
# Lints the browser viewer (tools/vem/viewer): ESLint and Prettier's format check, with the
# versions pinned by its package-lock.json, then its unit tests with node's own test runner.
# Usage: scripts/lint-viewer.sh      (needs node and npm, and the npm registry for `npm ci`)
set -euo pipefail
cd "$(dirname "$0")/../tools/vem/viewer"
npm ci --no-audit --no-fund --loglevel=error
npx --no-install eslint --max-warnings=0 .
npx --no-install prettier --check --log-level=warn .
node --test test/
