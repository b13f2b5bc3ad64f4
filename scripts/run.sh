#!/usr/bin/env bash
# Sets up, builds, and runs the headless host (by default its built-in demo job).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/bin/varnik-host "$@"
