#!/usr/bin/env python3
"""The collector with the real component: a crash program under Wine uploads to a collector this
script starts. Two equal crashes make one group of count 2, a different one a second group, and
the report the collector shows is the one the program saved.

usage: end_to_end.py WINE-RUN CRASH-PROGRAM COLLECTOR"""
import difflib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

wine_run, crash_exe, collector = sys.argv[1:4]
if not os.access(collector, os.X_OK):
    sys.exit(f"no collector at {collector}: build the host configuration first (scripts/build.sh host win32)")
scale = int(os.environ.get("KELVANE_TIME_SCALE", "1"))
data = tempfile.mkdtemp(prefix="kestrum-e2e-")
server = subprocess.Popen([collector, "serve", "--listen", "127.0.0.1:0", "--data", data, "--quiet", "--rate", "0"],
                          stdout=subprocess.PIPE, text=True)
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def get(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=30) as answer:
        return answer.read()


try:
    line = server.stdout.readline()
    port = int(line.rsplit(":", 1)[1])
    # The settings name the file relative to the program; the minidump lands beside it.
    saved = os.path.join(os.path.dirname(crash_exe), "CollectorCrash.txt")
    leftovers = [saved, os.path.join(os.path.dirname(crash_exe), "CollectorCrash.dmp")]
    for path in leftovers:
        if os.path.exists(path):
            os.remove(path)
    env = dict(os.environ, KESTRUM_TEST_UPLOAD_PORT=str(port))
    for case in ("open", "open", "send"):
        started = time.time()
        run = subprocess.run([wine_run, crash_exe, case], env=env, timeout=60 * scale,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # AutoClose ends the program through the component, with exit code 1, once the automatic
        # save and send are done; anything else is a program that died on its own.
        check(run.returncode == 1, f"CollectorCrash {case}: closed by the component (exit {run.returncode} after "
                                   f"{time.time() - started:.1f} s)")

    groups = json.loads(get(port, "/api/groups?sort=count"))["groups"]
    check(len(groups) == 2, f"two groups ({len(groups)})")
    check([g["count"] for g in groups] == [2, 1], f"counts 2 and 1 ({[g['count'] for g in groups]})")
    check("OpenDevice" in groups[0]["title"], f"the first group is the crash in OpenDevice ({groups[0]['title']})")
    check("SendReport" in groups[1]["title"], f"the second group is the crash in SendReport ({groups[1]['title']})")

    # The saved file: the folded report of the two equal crashes, then the other one. Each report
    # is followed by an empty line, and a report has empty lines of its own (between its
    # sections): only an empty line followed by "date/time" separates two.
    content = open(saved, "rb").read()
    check(content.startswith(b"date/time") and content.endswith(b"\r\n\r\n"), "the saved file holds whole reports")
    reports = [r if r.startswith(b"date/time") else b"date/time" + r
               for r in content.removesuffix(b"\r\n\r\n").split(b"\r\n\r\ndate/time")]
    check(len(reports) == 2, f"the saved file holds two reports ({len(reports)})")
    for group, saved_report in zip(groups, reports):
        detail = json.loads(get(port, f"/api/groups/{group['id']}"))
        latest = detail["reports"][0]
        raw = get(port, f"/reports/{latest['id']}/raw")
        check(raw == saved_report, f"group {group['id']}: the raw report is the saved one byte for byte")
        if raw != saved_report:
            diff = difflib.unified_diff(saved_report.decode("cp1252").split("\r\n"), raw.decode("cp1252").split("\r\n"),
                                        "saved", "raw", lineterm="", n=1)
            print("\n".join(list(diff)[:40]), flush=True)
        text = json.loads(get(port, f"/api/reports/{latest['id']}"))["text"]
        check(text == saved_report.decode("cp1252"), f"group {group['id']}: the shown text is the saved report")
        page = get(port, f"/groups/{group['id']}").decode("utf-8")
        # Every header field, the exception's message with its markup and quotes among them.
        for line in saved_report.decode("cp1252").split("\r\n\r\n")[0].split("\r\n"):
            name, _, value = line.partition(":")
            value = value.strip().replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;").replace("'", "&#39;")
            check(value in page, f"group {group['id']}: the page shows {name.strip()}")
        check("<script>alert" not in page, f"group {group['id']}: no markup from the report")
    if not failures:
        for path in leftovers:
            if os.path.exists(path):
                os.remove(path)
finally:
    server.terminate()
    server.wait(timeout=30)
    shutil.rmtree(data, ignore_errors=True)

sys.exit(1 if failures else 0)
