"""A real release host for end-to-end tests: releases published with corvalis-release and the
development key, served by nginx on a free loopback port. Started and stopped by the tests."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
DEVELOPMENT_KEY = REPO / "keys" / "development-release-key.pem"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_tree(folder, files):
    """files: {relative path with '/': bytes}"""
    for relative, content in files.items():
        path = Path(folder) / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)


class ReleaseHost:
    """nginx serving `root` on 127.0.0.1:port. Use as a context manager."""

    def __init__(self, tool, root=None, http_settings=""):
        """http_settings: extra nginx directives for the http block, e.g. "keepalive_timeout 0;"."""
        self.tool = str(tool)
        self.http_settings = http_settings
        self.work = Path(tempfile.mkdtemp(prefix="corvalis-host-"))
        self.root = Path(root) if root else self.work / "root"
        self.root.mkdir(parents=True, exist_ok=True)
        self.port = None
        self.process = None

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"

    def publish(self, component, version, files, key=DEVELOPMENT_KEY, channel=True):
        """Publishes `files` ({release path: bytes}) as a release of `component`."""
        source = self.work / f"source-{component}-{version}"
        shutil.rmtree(source, ignore_errors=True)
        write_tree(source, files)
        self.publish_folder(component, version, source, key, channel)

    def publish_folder(self, component, version, source, key=DEVELOPMENT_KEY, channel=True):
        """Publishes the files under the folder `source` as a release of `component`."""
        command = [self.tool, "publish", "--key", str(key), "--root", str(self.root),
                   "--component", component, "--version", version, "--from", str(source)]
        if not channel:
            command.append("--no-channel")
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)

    def path(self, relative):
        return self.root / relative

    def __enter__(self):
        self.port = free_port()
        prefix = self.work / "nginx"
        (prefix / "logs").mkdir(parents=True, exist_ok=True)
        (prefix / "temp").mkdir(exist_ok=True)
        config = prefix / "nginx.conf"
        # As root, nginx would hand requests to an unprivileged worker that cannot read the
        # test's private folders.
        user = "user root;" if os.geteuid() == 0 else ""
        config.write_text(f"""
{user}
daemon off;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/logs/error.log;
events {{ worker_connections 64; }}
http {{
    log_format requests '$remote_addr [$time_local] "$request" $status $connection';
    access_log {prefix}/logs/access.log requests;
    client_body_temp_path {prefix}/temp/body;
    proxy_temp_path {prefix}/temp/proxy;
    fastcgi_temp_path {prefix}/temp/fastcgi;
    uwsgi_temp_path {prefix}/temp/uwsgi;
    scgi_temp_path {prefix}/temp/scgi;
    default_type application/octet-stream;
    sendfile on;
    {self.http_settings}
    server {{
        listen 127.0.0.1:{self.port};
        root {self.root};
    }}
}}
""")
        self.process = subprocess.Popen(["nginx", "-p", str(prefix), "-c", str(config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return self
            except OSError:
                if self.process.poll() is not None:
                    raise RuntimeError("nginx did not start: " +
                                       (prefix / "logs" / "error.log").read_text())
                time.sleep(0.05)
        raise RuntimeError("nginx did not answer within 10 s")

    def requests(self):
        """The request lines nginx has logged so far, e.g. 'GET /loader/latest.json'."""
        log = self.work / "nginx" / "logs" / "access.log"
        lines = log.read_text().splitlines() if log.exists() else []
        return [line.split('"')[1].rsplit(" ", 1)[0] for line in lines if '"' in line]

    def connections(self):
        """How many TCP connections the logged requests came over."""
        log = self.work / "nginx" / "logs" / "access.log"
        lines = log.read_text().splitlines() if log.exists() else []
        return len({line.rsplit(" ", 1)[1] for line in lines if '"' in line})

    def __exit__(self, *exc):
        if self.process:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.work, ignore_errors=True)
