"""Loopback peers and oracles for the transport tests.

  peers.py smtp DIR [auth|auth-eq|noauth]   mail server; each message is written to DIR/N.eml
  peers.py http DIR [ok|continue|redirect URL|fail|bench]  upload server; the parsed form goes to DIR
  peers.py dns ZONEFILE                     DNS server answering from "name type value" lines
  peers.py stall                            mail server that stops reading after DATA
  peers.py check-mail EML BODY SUBJECTHEX [NAME=FILE ...]  compares a received mail with what was sent
  peers.py check-to EML [NAME ADDRESS ...]  checks the To header against the list and the envelope
  peers.py check-zip ZIP NAME=FILE ...      checks an archive with Python's zipfile
  peers.py check-png PNG WIDTH HEIGHT [X,Y=RRGGBB ...]  checks a picture with Pillow: its size and colours
  peers.py check-zip-lacks ZIP PATH WORD...  no entry of the archive holds PATH, or WORD as a word of its own
                                            (a minidump in it as check-dump-lacks says)
  peers.py check-dump-lacks DUMP MODULE PATH WORD...  a minidump holds neither PATH nor WORD (8-bit or
                                            UTF-16LE, see there), the module MODULE is listed under
                                            "<profile>", and Breakpad's stack walker walks it

  peers.py with-peers COMMAND...            runs COMMAND with servers of each kind started; then
                                            every line of the folder's checks.txt (tab-separated
                                            arguments of the commands above, in code page 1252)

Servers print their port on the first line and run until stdin closes or they are killed.
"""
import json
import os
import sys
import threading


def wait_for_stdin_close():
    try:
        sys.stdin.read()
    except Exception:
        pass
    os._exit(0)


def serve_smtp(folder, mode):
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import SMTP, AuthResult

    count = [0]

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            count[0] += 1
            path = os.path.join(folder, "%d.eml" % count[0])
            with open(path + ".tmp", "wb") as f:
                f.write(envelope.original_content)
            with open(path + ".json", "w") as f:
                json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                           "auth": session.auth_data.login.decode() if session.auth_data else None}, f)
            os.rename(path + ".tmp", path)
            return "250 OK"

    def authenticator(server, session, envelope, mechanism, data):
        ok = data.login == b"alice" and data.password == b"s3cret \xe4"
        return AuthResult(success=ok, auth_data=data)

    class EqualsSmtp(SMTP):
        async def push(self, status):
            if mode == "auth-eq" and isinstance(status, str) and status.startswith("250-AUTH "):
                status = "250-AUTH=LOGIN"
            await super().push(status)

    class Ctl(Controller):
        def factory(self):
            kwargs = dict(auth_require_tls=False, decode_data=False)
            if mode in ("auth", "auth-eq"):
                kwargs.update(authenticator=authenticator, auth_exclude_mechanism=["PLAIN"])
            else:
                kwargs.update(auth_exclude_mechanism=["LOGIN", "PLAIN"])
            return EqualsSmtp(self.handler, **kwargs)

    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    ctl = Ctl(Handler(), hostname="127.0.0.1", port=port)
    ctl.start()
    print(port, flush=True)
    wait_for_stdin_close()


def serve_stall():
    """A mail server that takes everything up to DATA and then never reads again."""
    import socket

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    print(server.getsockname()[1], flush=True)

    def session(conn):
        conn.sendall(b"220 stall\r\n")
        buffer = b""
        while True:
            data = conn.recv(4096)
            if not data:
                return
            buffer += data
            while b"\r\n" in buffer:
                line, buffer = buffer.split(b"\r\n", 1)
                if line.upper().startswith(b"DATA"):
                    conn.sendall(b"354 go on\r\n")
                    threading.Event().wait()
                conn.sendall(b"250 ok\r\n")

    def accept():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=session, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    wait_for_stdin_close()


def serve_http(folder, mode, location=None):
    import email.parser
    import email.policy
    from http.server import BaseHTTPRequestHandler, HTTPServer

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_POST(self):
            length = int(self.headers["Content-Length"])
            body = self.rfile.read(length)
            # Whatever follows the announced length would be a fault of the client. The benchmark
            # does not wait for it: the wait would be most of what it measures.
            extra = b""
            if mode != "bench":
                self.connection.settimeout(0.3)
                try:
                    extra = self.connection.recv(100)
                except Exception:
                    pass
            head = "Content-Type: %s\r\n\r\n" % self.headers["Content-Type"]
            msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head.encode() + body)
            form = {"path": self.path, "host": self.headers["Host"], "from": self.headers.get("From"),
                    "authorization": self.headers.get("Authorization"), "extra": extra.decode("latin-1"),
                    "user_agent": self.headers.get("User-Agent"), "fields": {}, "files": {}}
            for part in msg.iter_parts():
                name = part.get_param("name", header="content-disposition")
                filename = part.get_param("filename", header="content-disposition")
                data = part.get_payload(decode=True)
                if filename is None:
                    form["fields"][name] = data.decode("latin-1")
                else:
                    form["files"][name] = {"filename": filename}
                    with open(os.path.join(folder, "file-" + name), "wb") as f:
                        f.write(data)
            with open(os.path.join(folder, "form.json"), "w") as f:
                json.dump(form, f)
            if mode == "continue":
                self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
                self.wfile.flush()
            if mode == "redirect":
                self.send_response(302)
                self.send_header("Location", location)
            elif mode == "fail":
                self.send_response(500)
            elif mode == "silent":
                import time
                time.sleep(30)
                return
            else:
                self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()

    server = HTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    threading.Thread(target=wait_for_stdin_close, daemon=True).start()
    server.serve_forever()


def serve_dns(zonefile, port=0):
    from dnslib import QTYPE, RR, MX, A, NS, DNSRecord
    from dnslib.server import BaseResolver, DNSServer

    records = []
    with open(zonefile) as f:
        for line in f:
            if line.strip():
                records.append(line.split())

    class Resolver(BaseResolver):
        def resolve(self, request, handler):
            reply = request.reply()
            q = request.q
            for name, rtype, value in records:
                if str(q.qname).rstrip(".").lower() == name.lower() and QTYPE[q.qtype] == rtype:
                    rdata = {"MX": MX, "NS": NS}.get(rtype, A)(value)
                    reply.add_answer(RR(q.qname, q.qtype, rdata=rdata, ttl=60))
                    # A name server comes with its address, as servers give it.
                    for glue_name, glue_type, glue_value in records:
                        if rtype == "NS" and glue_type == "A" and glue_name.lower() == value.lower():
                            reply.add_ar(RR(glue_name, QTYPE.A, rdata=A(glue_value), ttl=60))
            return reply

    server = DNSServer(Resolver(), address="127.0.0.1", port=int(port))
    server.start_thread()
    print(server.server.server_address[1], flush=True)
    wait_for_stdin_close()


def fail(text):
    print(text)
    sys.exit(1)


def check_mail(eml, body_file, subject, attachments):
    import email
    import email.policy
    from email.header import decode_header, make_header

    with open(eml, "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    with open(body_file, "rb") as f:
        body = f.read()
    got_subject = str(make_header(decode_header(msg["Subject"])))
    if got_subject != subject:
        fail("subject %r != %r" % (got_subject, subject))
    for header in ("To", "From", "Date", "Message-ID"):
        if not msg[header]:
            fail("no " + header)
    if email.utils.parsedate_to_datetime(msg["Date"]) is None:
        fail("bad date")
    if not attachments:
        got = msg.get_payload(decode=True)
        if got != body:
            fail("body %r != %r" % (got[:200], body[:200]))
        return
    if not msg.is_multipart():
        fail("not multipart")
    parts = msg.get_payload()
    text = parts[0].get_payload(decode=True)
    if text != body:
        fail("body %r != %r" % (text[:200], body[:200]))
    files = parts[1:]
    if len(files) != len(attachments):
        fail("%d attachments, expected %d" % (len(files), len(attachments)))
    for part, (name, path) in zip(files, attachments):
        with open(path, "rb") as f:
            data = f.read()
        if part.get_filename() != name:
            fail("name %r != %r" % (part.get_filename(), name))
        if part.get_payload(decode=True) != data:
            fail("attachment %s differs" % name)


def check_to(eml, expected):
    """The To header as a mail reader takes it apart: no defects, exactly the expected display
    names (code page 1252, as the settings hold them) and addresses, and the envelope's recipients."""
    import email
    import email.policy

    with open(eml, "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.default)
    header = msg["To"]
    if header.defects:
        fail("To %r has defects %r" % (str(header), header.defects))
    got = [(a.display_name, a.addr_spec) for a in header.addresses]
    want = [(expected[i].encode("latin-1").decode("cp1252"), expected[i + 1]) for i in range(0, len(expected), 2)]
    if got != want:
        fail("To %r gives %r, expected %r" % (str(header), got, want))
    with open(eml + ".json") as f:
        envelope = json.load(f)["to"]
    if envelope != [a for _, a in want]:
        fail("envelope %r, header %r" % (envelope, got))


def check_zip(path, entries):
    import zipfile

    with zipfile.ZipFile(path) as z:
        if z.testzip() is not None:
            fail("bad CRC")
        infos = z.infolist()
        if [i.filename for i in infos] != [n.encode("latin-1").decode("utf-8") for n, _ in entries]:
            fail("names %r" % [i.filename for i in infos])
        for info, (name, file) in zip(infos, entries):
            if not info.flag_bits & 0x800 or info.compress_type != zipfile.ZIP_DEFLATED:
                fail("flags of " + name)
            with open(file, "rb") as f:
                if z.read(info) != f.read():
                    fail("data of " + name)


def check_zip_lacks(path, folder, words):
    import re
    import tempfile
    import zipfile

    with zipfile.ZipFile(path) as z:
        if not z.infolist():
            fail("empty archive")
        for info in z.infolist():
            data = z.read(info)
            if data[:4] == b"MDMP":
                with tempfile.NamedTemporaryFile(suffix=".dmp") as dump:
                    dump.write(data)
                    dump.flush()
                    check_dump_lacks(dump.name, None, folder, words)
                continue
            text = data.decode("latin-1")
            if folder.lower() in text.lower():
                fail("%s in %s" % (folder, info.filename))
            for w in words:
                edge = "A-Za-z0-9_\x80-\xff"
                if re.search("(?<![%s])%s(?![%s])" % (edge, re.escape(w), edge), text, re.IGNORECASE):
                    fail("%s in %s" % (w, info.filename))


def check_dump_lacks(path, module, folder, words):
    """The dump as the component redacts it: PATH nowhere, names of three or more characters nowhere
    (8-bit, and UTF-16LE at either byte), shorter names not as words in the memory and module names
    that LLVM's obj2yaml reads from it (they turn up in any bytes by chance); MODULE (a file name)
    listed with its path starting "<profile>"; Breakpad's stack walker shows the crashed thread's
    frames and the modules."""
    import re
    import subprocess

    with open(path, "rb") as f:
        data = f.read()
    texts = [data.decode("latin-1"), data.decode("utf-16-le", "replace"), data[1:].decode("utf-16-le", "replace")]
    for value in [folder] + [w for w in words if len(w) >= 3]:
        if any(value.lower() in t.lower() for t in texts):
            fail("%s in the dump %s" % (value, path))
    yaml = subprocess.run(["obj2yaml", path], capture_output=True).stdout.decode("latin-1")
    if "--- !minidump" not in yaml:
        fail("obj2yaml cannot read " + path)
    names = re.findall(r"Module Name:\s+'?([^'\n]*)", yaml)
    short = list(names)
    for content in re.findall(r"Content:\s+'?([0-9A-F]+)", yaml):
        memory = bytes.fromhex(content)
        short += [memory.decode("latin-1"), memory.decode("utf-16-le", "replace"), memory[1:].decode("utf-16-le", "replace")]
    for w in (w for w in words if len(w) < 3):
        if any(re.search(r"(?<![A-Za-z0-9_\x80-\U0010ffff])%s(?![A-Za-z0-9_\x80-\U0010ffff])" % re.escape(w), t, re.I) for t in short):
            fail("%s as a word in the dump's memory or module names" % w)
    if module and not any(n.endswith("\\" + module) and n.startswith("<profile>") for n in names):
        fail("no module %s under <profile> in %r" % (module, names))
    walker = os.environ.get("KELVANE_STACKWALK", "")
    r = subprocess.run([walker, "-m", path], capture_output=True, text=True, errors="replace", timeout=120)
    rows = [l.split("|") for l in r.stdout.splitlines()]
    crash = next((row for row in rows if row[0] == "Crash" and len(row) > 3), None)
    if r.returncode != 0 or not crash or not any(row[0] == crash[3] and len(row) == 7 for row in rows):
        fail("the stack walker (%s) shows no crashed thread's frames:\n%s%s" % (walker, r.stdout[-1500:], r.stderr[-500:]))
    if module and not any(row[:2] == ["Module", module] for row in rows):
        fail("the stack walker lists no module %s" % module)


def check_png(path, width, height, samples):
    """samples: "X,Y=RRGGBB", the pixel there close to that colour (the palette is the quantizer's)."""
    from PIL import Image

    with Image.open(path) as im:
        im.verify()
    with Image.open(path) as im:
        im.load()
        if im.format != "PNG":
            fail("not a PNG: %s" % im.format)
        if im.size != (width, height):
            fail("size %r, expected %r" % (im.size, (width, height)))
        rgb = im.convert("RGB")
    for s in samples:
        at, colour = s.split("=")
        x, y = (int(v) for v in at.split(","))
        want = bytes.fromhex(colour)
        got = rgb.getpixel((x, y))
        if max(abs(a - b) for a, b in zip(got, want)) > 16:
            fail("pixel %d,%d is %02x%02x%02x, expected %s" % (x, y, got[0], got[1], got[2], colour))


def check_form(folder, expected):
    """expected: "field=VALUE", "file:FIELD=SENDAS=PATH", "header:NAME=VALUE" (VALUE in hex)."""
    with open(os.path.join(folder, "form.json")) as f:
        form = json.load(f)
    if form["extra"]:
        fail("bytes beyond Content-Length: %r" % form["extra"])
    files = 0
    for e in expected:
        kind, rest = e.split(":", 1) if ":" in e.split("=", 1)[0] else ("field", e)
        if kind == "field":
            name, value = rest.split("=", 1)
            got = form["fields"].get(name)
            if got != bytes.fromhex(value).decode("latin-1"):
                fail("field %s = %r" % (name, got))
        elif kind == "header":
            name, value = rest.split("=", 1)
            if form[name] != bytes.fromhex(value).decode("latin-1"):
                fail("%s = %r" % (name, form[name]))
        else:
            field, sendas, path = rest.split("=", 2)
            files += 1
            if form["files"].get(field, {}).get("filename") != sendas:
                fail("file field %s: %r" % (field, form["files"]))
            with open(path, "rb") as a, open(os.path.join(folder, "file-" + field), "rb") as b:
                if a.read() != b.read():
                    fail("file %s differs" % field)
    if files != len(form["files"]):
        fail("files: %r" % form["files"])


def start_collector(program, data, env):
    """The bug report collector on a free port of its own (KELVANE_COLLECTOR_PORT), admin token "test"."""
    import socket
    import subprocess
    import time

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    p = subprocess.Popen([program, "serve", "--listen", "127.0.0.1:%d" % port, "--data", data, "--admin-token", "test"],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(data + ".log", "wb"))
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if p.poll() is not None:
                raise RuntimeError("the collector ended at its start")
            time.sleep(0.05)
    env["KELVANE_COLLECTOR_PORT"] = str(port)
    return p


def with_peers(command):
    """Runs command with the servers started and their ports in KELVANE_*_PORT, the folder they
    write to in KELVANE_PEER_DIR; the command's exit code is the result."""
    import subprocess
    import tempfile

    folder = tempfile.mkdtemp(prefix="kelvane-peers-")
    zone = os.path.join(folder, "zone.txt")
    with open(zone, "w") as f:
        f.write("kelvane.example MX mx1.kelvane.example\nb.example.org MX mail.example.org\n"
                "kelvane.example NS ns.kelvane.example\nns.kelvane.example A 127.0.0.1\n")
    env = dict(os.environ, KELVANE_PEER_DIR=folder)
    servers = []
    import socket
    # A port where nothing listens: the machine is offline as far as a delivery there can tell.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        env["KELVANE_DEAD_PORT"] = str(probe.getsockname()[1])
    for var, args in (("SMTP", ["smtp", "noauth"]), ("SMTP_AUTH", ["smtp", "auth-eq"]), ("HTTP", ["http", "ok"]), ("HTTP_FAIL", ["http", "fail"]),
                      ("HTTP_REDIRECT", ["http", "redirect", "file:///C:/windows/system32/calc.exe"]), ("DNS", ["dns", zone]),
                      ("SMTP_STALL", ["stall"])):
        if args[0] in ("smtp", "http"):
            out = os.path.join(folder, var.lower())
            os.mkdir(out)
            args = [args[0], out] + args[1:]
        p = subprocess.Popen([sys.executable, __file__] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        servers.append(p)
        env["KELVANE_%s_PORT" % var] = p.stdout.readline().decode().strip()
    collector = None
    if os.environ.get("KELVANE_COLLECTOR"):
        collector = start_collector(os.environ["KELVANE_COLLECTOR"], os.path.join(folder, "collector"), env)
    try:
        result = subprocess.call(command, env=env)
        # Checks that a Windows test program asks for: the oracles run on this side of Wine.
        checks = os.path.join(folder, "checks.txt")
        if result == 0 and os.path.exists(checks):
            with open(checks, "rb") as f:
                lines = [l for l in f.read().decode("latin-1").split("\n") if l.strip()]
            for line in lines:
                args = [a.encode("latin-1") for a in line.rstrip("\r").split("\t")]
                if subprocess.call([sys.executable, __file__] + [os.fsdecode(a) for a in args]) != 0:
                    print("check failed: " + line)
                    result = 1
        return result
    finally:
        if collector:
            collector.terminate()
            try:
                collector.wait(timeout=10)
            except subprocess.TimeoutExpired:
                collector.kill()
        for p in servers:
            p.stdin.close()
        for p in servers:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
        import shutil
        shutil.rmtree(folder, ignore_errors=True)


def main():
    cmd = sys.argv[1]
    if cmd == "with-peers":
        sys.exit(with_peers(sys.argv[2:]))
    # Arguments are 8-bit texts as the program has them.
    args = [os.fsencode(a).decode("latin-1") for a in sys.argv[2:]]
    if cmd == "smtp":
        serve_smtp(args[0], args[1])
    elif cmd == "stall":
        serve_stall()
    elif cmd == "http":
        serve_http(args[0], args[1], args[2] if len(args) > 2 else None)
    elif cmd == "dns":
        serve_dns(*args)
    elif cmd == "check-mail":
        check_mail(args[0], args[1], bytes.fromhex(args[2]).decode("latin-1"),
                   [a.split("=", 1) for a in args[3:]])
    elif cmd == "check-to":
        check_to(args[0], args[1:])
    elif cmd == "check-form":
        check_form(args[0], args[1:])
    elif cmd == "check-zip":
        check_zip(args[0], [a.split("=", 1) for a in args[1:]])
    elif cmd == "check-zip-lacks":
        check_zip_lacks(args[0], args[1], args[2:])
    elif cmd == "check-dump-lacks":
        check_dump_lacks(args[0], args[1], args[2], args[3:])
    elif cmd == "check-png":
        check_png(args[0], int(args[1]), int(args[2]), args[3:])


if __name__ == "__main__":
    main()
