#!/usr/bin/env python3
"""A local release host over a published folder, for the tests that run the real program.

    release_folder_host.py --root FOLDER --port-file FILE [--delay SECONDS] [--failing]
                           [--status CODE] [--hold NAME --gate FILE]

Serves FOLDER on 127.0.0.1 at a free port, which it writes to FILE once it listens. --delay holds
every answer back a little, so the Progress page stays on screen long enough to be seen;
--failing answers every request with a channel document that is not JSON, --status with that
HTTP status and no body. --hold sends half of
any file called NAME, an eighth at a time a little apart, and the rest only once the gate file
exists, so that a test sees the Progress page mid-download for as long as it needs to, whatever
the speed of the machine. It ends by itself after ten minutes, so an interrupted test leaves
nothing behind for long. The GUI test imports start_host instead.
"""

import argparse
import functools
import http.server
import os
import threading
import time

# The longest a held body waits for its gate: well inside the client's 60 s receive timeout, so
# a test that never opens the gate still ends with an install, not a hung window.
HOLD_LIMIT_SECONDS = 40


class ReleaseHost(http.server.SimpleHTTPRequestHandler):
    delay = 0.0
    failing = False
    hold = None  # (file name, gate file)
    status = None

    def do_GET(self):
        time.sleep(self.delay)
        if self.status:
            self.send_response(self.status)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if self.failing:
            body = b"this is not a channel document"
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        super().do_GET()

    def copyfile(self, source, outputfile):
        if not self.hold or not self.path.endswith("/" + self.hold[0]):
            return super().copyfile(source, outputfile)
        body = source.read()
        half = len(body) // 2
        step = max(1, half // 8)
        for start in range(0, half, step):
            outputfile.write(body[start : min(start + step, half)])
            outputfile.flush()
            time.sleep(0.2)
        deadline = time.monotonic() + HOLD_LIMIT_SECONDS
        while not os.path.exists(self.hold[1]) and time.monotonic() < deadline:
            time.sleep(0.05)
        outputfile.write(body[half:])

    def log_message(self, *args):
        pass


def start_host(folder, delay=0.0, failing=False, hold=None, status=None):
    """Starts serving on a thread; the server's server_address[1] is the port. `hold` is
    (file name, gate file), as --hold and --gate."""
    handler = type("Host", (ReleaseHost,),
                   {"delay": delay, "failing": failing, "hold": hold, "status": status})
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(handler, directory=folder))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--failing", action="store_true")
    parser.add_argument("--status", type=int)
    parser.add_argument("--hold")
    parser.add_argument("--gate")
    options = parser.parse_args()
    hold = (options.hold, options.gate) if options.hold else None
    server = start_host(options.root, options.delay, options.failing, hold, options.status)
    with open(options.port_file + ".part", "w") as out:
        out.write(str(server.server_address[1]))
    import os
    os.replace(options.port_file + ".part", options.port_file)
    time.sleep(600)


if __name__ == "__main__":
    main()
