#!/usr/bin/env bash
# transport.sh [ROUNDS]: a 100 kB report with a screenshot sent over SMTP and uploaded over HTTP
# to loopback servers (Python's smtpd and http.server) by TransportSend.exe under Wine, against
# Python's smtplib and urllib sending the same bytes to the same servers in the same run: best of
# ROUNDS (default 10) each, and the ratios (goal: at most 1.5).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/session.sh
rounds=${1:-10}
work=$build/bench-transport
rm -rf "$work"; mkdir -p "$work/smtp" "$work/http"
/usr/bin/python3 - "$work" <<'PY'
import random, sys
random.seed(7)
folder = sys.argv[1]
lines = []
while sum(len(l) for l in lines) < 100_000:
    lines.append("%08X: %s\r\n" % (len(lines), " ".join("%02X" % random.randrange(256) for _ in range(24))))
open(folder + "/bugreport.txt", "w", newline="").write("".join(lines))
open(folder + "/screenshot.png", "wb").write(bytes(random.randrange(256) for _ in range(60_000)))
PY
# The servers run while this script holds their input open, and are ended by their process ids
# when it ends whatever way: a server left running holds the caller's output open, and whoever
# waits for its end (a pipe, CI) waits for ever. No other program may inherit the input's writing
# end (fd 5): the wineserver that the first Wine program starts outlives it and would keep the
# servers waiting.
mkfifo "$work/hold"
exec 5<>"$work/hold"
/usr/bin/python3 delivery/tests/peers.py smtp "$work/smtp" noauth <"$work/hold" >"$work/smtp.port" 5>&- &
smtp_pid=$!
/usr/bin/python3 delivery/tests/peers.py http "$work/http" bench <"$work/hold" >"$work/http.port" 5>&- &
http_pid=$!
trap 'kill "$smtp_pid" "$http_pid" 2>/dev/null || true; scripts/wine-session stop "$session"' EXIT
for _ in $(seq 100); do [ -s "$work/smtp.port" ] && [ -s "$work/http.port" ] && break; sleep 0.1; done
smtp_port=$(head -1 "$work/smtp.port")
http_port=$(head -1 "$work/http.port")
[ -n "$smtp_port" ] && [ -n "$http_port" ] || { echo "transport.sh: the servers did not start" >&2; exit 1; }
# Every step has a time bound: a round takes well under a second, a wait for a server at most 7 s.
limit=$((120 + 10 * rounds))
# The output goes to a file, not a pipe: the wineserver inherits it and lives on for a while.
timeout "$limit" /usr/lib/wine/wine "$bin/TransportSend.exe" "$smtp_port" "$http_port" \
  "Z:${work//\//\\}\\bugreport.txt" "Z:${work//\//\\}\\screenshot.png" "$rounds" 5>&- </dev/null >"$work/ours.txt" || true
read -r ours_smtp ours_http < <(tr -d '\r' <"$work/ours.txt")
[ -n "${ours_http:-}" ] || { echo "transport.sh: TransportSend.exe did not finish (see above)" >&2; exit 1; }
# The reference sends the message and the form exactly as the servers received them from us.
ref=$(timeout "$limit" /usr/bin/python3 - "$work" "$smtp_port" "$http_port" "$rounds" 5>&- <<'PY'
import smtplib, sys, time, urllib.request
folder, smtp_port, http_port, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
message = open(folder + "/smtp/1.eml", "rb").read()
form = open(folder + "/bugreport.txt", "rb").read()
best_smtp = best_http = 1e18
boundary = "kelvane.invalid_multipart_boundary"
body = (b"--" + boundary.encode() + b'\r\nContent-Disposition: form-data; name="BugReport"; filename="bugreport.txt"\r\n'
        b"Content-Type: application/octet-stream\r\n\r\n" + form + b"\r\n--" + boundary.encode() +
        b'\r\nContent-Disposition: form-data; name="ScreenShot"; filename="screenshot.png"\r\n'
        b"Content-Type: application/octet-stream\r\n\r\n" + open(folder + "/screenshot.png", "rb").read() +
        b"\r\n--" + boundary.encode() + b"--\r\n")
for _ in range(rounds):
    t = time.perf_counter()
    with smtplib.SMTP("127.0.0.1", smtp_port, timeout=30) as s:
        s.sendmail("bench@kelvane.example", ["dev@kelvane.example"], message)
    best_smtp = min(best_smtp, time.perf_counter() - t)
    t = time.perf_counter()
    request = urllib.request.Request("http://127.0.0.1:%d/upload" % http_port, data=body,
                                     headers={"Content-Type": "multipart/form-data; boundary=" + boundary})
    urllib.request.urlopen(request, timeout=30).read()
    best_http = min(best_http, time.perf_counter() - t)
print("%.0f %.0f" % (best_smtp * 1e6, best_http * 1e6))
PY
) || true
read -r ref_smtp ref_http <<<"$ref"
[ -n "${ref_http:-}" ] || { echo "transport.sh: the reference run did not finish" >&2; exit 1; }
exec 5>&-
printf '%-6s %12s %12s %8s\n' way ours_ms ref_ms ratio
awk -v o="$ours_smtp" -v r="$ref_smtp" 'BEGIN { printf "%-6s %12.2f %12.2f %8.2f\n", "smtp", o / 1000, r / 1000, o / r }'
awk -v o="$ours_http" -v r="$ref_http" 'BEGIN { printf "%-6s %12.2f %12.2f %8.2f\n", "http", o / 1000, r / 1000, o / r }'
echo "ratio: ours / Python's. Goal: at most 1.5."
