#!/usr/bin/env bash
# Start-up time of Kelvane.exe with the crash-report component against the same program with the
# component disabled in its settings, alternately in one run.
#   bench/startup.sh [ROUNDS]     (default 20; run after scripts/build.sh win32)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/session.sh
/usr/lib/wine/wine "$bin/StartupTime.exe" "${1:-20}" ${2:+"$2"} ${3:+"$3"}
