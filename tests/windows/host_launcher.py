#!/usr/bin/env python3
"""Starts the recorder simulator of the build machine for the Windows tests.

The simulator is a Linux program, and a Windows program under Wine cannot
start it itself; the Windows side of the test helpers asks this launcher
instead, over HTTP on 127.0.0.1:

  GET /sim/start?arg=A&arg=B...   starts quorin-sim --port 0 A B ...; answers
                                  "<id> <port>" once it listens
  GET /sim/stop?id=N              ends it (SIGTERM, then SIGKILL after 2 s)

Usage: host_launcher.py QUORIN_SIM PORT_FILE
The launcher writes its own port to PORT_FILE and ends every simulator it
started when it is ended itself."""

import http.server
import itertools
import os
import re
import signal
import subprocess
import sys
import threading
import urllib.parse

SIM = sys.argv[1]
PORT_FILE = sys.argv[2]
sims = {}
lock = threading.Lock()
ids = itertools.count(1)


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(2)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def host_path(arg):
    """A Windows path of the test (C:/users/...) as the simulator must open it:
    through the drive's link in the Wine prefix."""
    m = re.match(rb"^([A-Za-z]):[/\\](.*)$", arg, re.S)
    prefix = os.environ.get("WINEPREFIX")
    if not m or not prefix:
        return arg
    drive = os.path.realpath(os.path.join(prefix, "dosdevices", m.group(1).decode().lower() + ":"))
    return os.fsencode(drive) + b"/" + m.group(2).replace(b"\\", b"/")


def start(args):
    args = [host_path(a) for a in args]
    proc = subprocess.Popen([os.fsencode(SIM), b"--port", b"0"] + args, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    port = None
    said = []
    for line in proc.stdout:
        said.append(line)
        if "quorin-sim listening on" in line:
            port = int(line.strip().rsplit(":", 1)[1])
            break
    if port is None:
        stop(proc)
        return "".join(said)
    # Keep reading, so that a full pipe never stalls the simulator.
    threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
    with lock:
        sim_id = next(ids)
        sims[sim_id] = proc
    return sim_id, port


class Handler(http.server.BaseHTTPRequestHandler):
    def answer(self, status, text):
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        # Latin-1 keeps every byte of an argument as it was sent.
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True, encoding="latin-1")
        if url.path == "/sim/start":
            started = start([a.encode("latin-1") for a in query.get("arg", [])])
            if isinstance(started, tuple):
                self.answer(200, "%d %d" % started)
            else:
                self.answer(500, "quorin-sim did not start:\n" + started)
        elif url.path == "/sim/stop":
            with lock:
                proc = sims.pop(int(query.get("id", ["0"])[0]), None)
            if proc:
                stop(proc)
            self.answer(200, "stopped" if proc else "unknown")
        else:
            self.answer(404, "unknown request")

    def log_message(self, *args):
        pass


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(PORT_FILE, "w") as f:
        f.write(str(server.server_address[1]))

    def end(*_):
        threading.Thread(target=server.shutdown).start()

    signal.signal(signal.SIGTERM, end)
    signal.signal(signal.SIGINT, end)
    try:
        server.serve_forever()
    finally:
        with lock:
            for proc in sims.values():
                stop(proc)


if __name__ == "__main__":
    main()
