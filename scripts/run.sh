#!/usr/bin/env bash
# Sets up, builds, and runs the headless host's default job (info, then the demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/bin/varnik-host "$@"
