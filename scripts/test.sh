#!/usr/bin/env bash
# Builds the programs and runs every test under Wine. Safe to run again.
# Usage (as root on Debian 12): scripts/test.sh [extra ctest arguments]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

prepare
cd "$ROOT"
ctest --preset mingw -j2 "$@"
