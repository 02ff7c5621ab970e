#!/usr/bin/env python3
"""A local release host over a published folder, for the tests that run the real program.

    release_folder_host.py --root FOLDER --port-file FILE [--delay SECONDS] [--failing]

Serves FOLDER on 127.0.0.1 at a free port, which it writes to FILE once it listens. --delay holds
every answer back a little, so the Progress page stays on screen long enough to be seen;
--failing answers every request with a channel document that is not JSON. It ends by itself
after ten minutes, so an interrupted test leaves nothing behind for long. The GUI test imports
start_host instead.
"""

import argparse
import functools
import http.server
import threading
import time


class ReleaseHost(http.server.SimpleHTTPRequestHandler):
    delay = 0.0
    failing = False

    def do_GET(self):
        time.sleep(self.delay)
        if self.failing:
            body = b"this is not a channel document"
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        super().do_GET()

    def log_message(self, *args):
        pass


def start_host(folder, delay=0.0, failing=False):
    """Starts serving on a thread; the server's server_address[1] is the port."""
    handler = type("Host", (ReleaseHost,), {"delay": delay, "failing": failing})
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
    options = parser.parse_args()
    server = start_host(options.root, options.delay, options.failing)
    with open(options.port_file + ".part", "w") as out:
        out.write(str(server.server_address[1]))
    import os
    os.replace(options.port_file + ".part", options.port_file)
    time.sleep(600)


if __name__ == "__main__":
    main()
