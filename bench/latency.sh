#!/usr/bin/env bash
# See README.md. Runs ReceiverLatency.exe under Wine on the simulated receiver.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/session.sh
/usr/lib/wine/wine "$bin/ReceiverLatency.exe" "$@"
