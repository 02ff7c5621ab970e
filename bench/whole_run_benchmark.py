#!/usr/bin/env python3
"""The whole check run, measured against what a user would script and against the floor.

    python3 bench/whole_run_benchmark.py [--build build/linux] [--repetitions 5]
                                         [--table bench/results/whole-run.md]

For each of two releases, a loader of 200 files (20 MiB together) with an app whose two host
files are 90 MiB each (200 MiB in all) and the same loader with host files of 190 MiB each
(400 MiB in all), it publishes them with corvalis-release, serves them with nginx on loopback,
and times, over several repetitions in turning order:

  A  corvalis-setup --check --base URL (the build given, which should be the optimised linux one);
  B  what a user would script: one curl process per URL into a scratch folder, then sha256sum
     of every file;
  C  the floor: one curl process fetching every URL over one connection, then openssl dgst
     -sha256 of every file.

B and C fetch exactly the URLs that A requested (read from nginx's access log). It also takes
A's peak resident memory (the target: at most 32 MiB whatever the release's size, since
downloads stream to disk), and the fixed cost of one request as the installer makes it, over a kept-alive connection and over a fresh
connection per request. Prints the figures and writes them as a Markdown table. Figures only:
the test command never runs this.
"""

import argparse
import os
import platform
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from release_host import ReleaseHost  # noqa: E402

MIB = 1048576
LOADER_FILES = 200
LOADER_BYTES = 20 * MIB
# The host file size of each release measured: 200 MiB and 400 MiB in all with the loader.
HOST_FILE_SIZES = (90 * MIB, 190 * MIB)
PEAK_TARGET_MIB = 32
TIME_TARGET = 1.1
HOST_FILES = ("host/Corvalis.acsrf", "host/Corvalis_Importer.prm")
PROBE_REQUESTS = 2000


def write_random(path, size, rng):
    """Writes `size` random bytes a mebibyte at a time: this process must stay small, since a
    child's peak resident memory starts from its parent's at the fork."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        while size > 0:
            out.write(rng.randbytes(min(size, MIB)))
            size -= MIB


def write_loader(folder, rng):
    """200 files of uneven sizes in a few folders, 20 MiB together."""
    weights = [rng.lognormvariate(0, 1.2) for _ in range(LOADER_FILES)]
    sizes = [int(LOADER_BYTES * w / sum(weights)) for w in weights]
    sizes[0] += LOADER_BYTES - sum(sizes)
    folders = ["js", "css", "img", "lib/vendor", "locales", "fonts"]
    paths = ["CSXS/manifest.xml", "index.html"]
    while len(paths) < LOADER_FILES:
        paths.append(f"{folders[len(paths) % len(folders)]}/part-{len(paths):03d}.bin")
    for path, size in zip(paths, sizes):
        write_random(folder / path, size, rng)


def write_app(folder, rng, host_file_bytes):
    for path in HOST_FILES:
        write_random(folder / path, host_file_bytes, rng)
    (folder / "host" / "readme.txt").write_bytes(b"not downloaded by the installer\n")


def run_measured(command, env):
    """Runs `command` with its output discarded; returns (wall seconds, CPU seconds of it and
    its children, peak resident KiB of its largest process)."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    start = time.perf_counter()
    pid = os.posix_spawn(command[0], command, env, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{command[0]} failed with status {status}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def write_scripts(work, urls):
    """The user's script (B) and the floor (C), each one bash program over the same URLs."""
    (work / "urls.txt").write_text("".join(f"{url} {path}\n" for url, path in urls))
    (work / "paths.txt").write_text("".join(f"{path}\n" for _, path in urls))
    (work / "floor.curl").write_text(
        "".join(f'url = "{url}"\noutput = "{path}"\n' for url, path in urls))
    user = work / "user.sh"
    user.write_text("""set -euo pipefail
cd "$1"
while read -r url path; do curl -fsS --create-dirs -o "$path" "$url"; done < "$2/urls.txt"
xargs -d '\\n' sha256sum < "$2/paths.txt" > /dev/null
""")
    floor = work / "floor.sh"
    floor.write_text("""set -euo pipefail
cd "$1"
curl -fsS --create-dirs -K "$2/floor.curl"
xargs -d '\\n' openssl dgst -sha256 < "$2/paths.txt" > /dev/null
""")
    return user, floor


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def summary(values):
    return statistics.median(values), min(values), max(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=str(REPO / "build" / "linux"))
    parser.add_argument("--repetitions", type=int,
                        default=int(os.environ.get("BENCH_REPETITIONS", "5")))
    parser.add_argument("--table", default=str(REPO / "bench" / "results" / "whole-run.md"))
    options = parser.parse_args()

    build = Path(options.build).resolve()
    program = build / "bin" / "corvalis-setup"
    tool = build / "bin" / "corvalis-release"
    probe = build / "bin" / "http_request_cost"
    for needed in (program, tool, probe):
        if not os.access(needed, os.X_OK):
            sys.exit(f"build first: cmake --build --preset linux ({needed} missing)")
    for command in ("nginx", "curl", "sha256sum", "openssl", "bash", "xargs"):
        if not shutil.which(command):
            sys.exit(f"needs {command}")
    build_type = "unknown"
    cache = build / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text().splitlines():
            if line.startswith("CMAKE_BUILD_TYPE:"):
                build_type = line.split("=", 1)[1]
    if build_type not in ("Release", "RelWithDebInfo", "MinSizeRel"):
        print(f"warning: {build} is a {build_type} build, not an optimised one", file=sys.stderr)

    work = Path(tempfile.mkdtemp(prefix="corvalis-whole-run-"))
    try:
        releases = []
        for host_file_bytes in HOST_FILE_SIZES:
            releases.append(measure_release(work, tool, program, options, host_file_bytes))
            shutil.rmtree(work, ignore_errors=True)
            work.mkdir()
        with ReleaseHost(tool, root=work / "probe") as host:
            (host.root / "probe.txt").write_bytes(b"{}\n")
            kept = subprocess.run([str(probe), host.url + "/probe.txt", str(PROBE_REQUESTS)],
                                  check=True, capture_output=True, text=True).stdout
        with ReleaseHost(tool, root=work / "unused", http_settings="keepalive_timeout 0;") as closing:
            (closing.root / "probe.txt").write_bytes(b"{}\n")
            closing_out = subprocess.run(
                [str(probe), closing.url + "/probe.txt", str(PROBE_REQUESTS)], check=True,
                capture_output=True, text=True).stdout
            closing_connections = closing.connections()

        def per_request(output):
            return float(output.split("seconds_per_request ")[1].split()[0])

        report = dict(
            repetitions=options.repetitions, releases=releases, load=os.getloadavg()[0],
            cost_kept=per_request(kept), cost_fresh=per_request(closing_out),
            fresh_connections=closing_connections, build=build, build_type=build_type)
        text = render(report)
        print()
        print(text)
        table = Path(options.table)
        table.parent.mkdir(parents=True, exist_ok=True)
        table.write_text(text)
        print(f"written to {table}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure_release(work, tool, program, options, host_file_bytes):
    """Publishes the loader and an app with host files of `host_file_bytes`, and measures A, B
    and C over the repetitions. Returns the figures of this release."""
    rng = random.Random(20261209)
    total_mib = (LOADER_BYTES + len(HOST_FILES) * host_file_bytes) // MIB
    print(f"publishing the {total_mib} MiB release ...", flush=True)
    with ReleaseHost(tool) as host:
        write_loader(work / "loader", rng)
        host.publish_folder("loader", "3.1.0", work / "loader")
        write_app(work / "app", rng, host_file_bytes)
        host.publish_folder("app", "7.2.0", work / "app")
        shutil.rmtree(work / "loader")
        shutil.rmtree(work / "app")

        env = dict(os.environ, HOME=str(work / "home"), APPDATA=str(work / "appdata"))
        check_temp = work / "check-temp"
        check = [str(program), "--check", "--base", host.url]

        def run_a():
            env["TMPDIR"] = str(fresh(check_temp))
            return run_measured(check, env)

        # The first run warms the caches and tells which URLs the check asks for, in order.
        run_a()
        requests = host.requests()
        connections = host.connections()
        if not any(r.endswith("Corvalis_Importer.prm") for r in requests):
            sys.exit("the check did not fetch the host files: " + repr(requests[-3:]))
        urls = []
        for request in requests:
            path = request.split(" ", 1)[1]
            urls.append((host.url + path, path.lstrip("/")))
        user, floor = write_scripts(work, urls)
        user_folder, floor_folder = work / "user", work / "floor"

        def run_b():
            fresh(user_folder)
            return run_measured(["/bin/bash", str(user), str(user_folder), str(work)],
                                os.environ)

        def run_c():
            fresh(floor_folder)
            return run_measured(["/bin/bash", str(floor), str(floor_folder), str(work)],
                                os.environ)

        run_b()
        run_c()
        fetched = sum(f.stat().st_size for f in floor_folder.rglob("*") if f.is_file())
        expected = sum(f.stat().st_size for f in (host.root / "loader").rglob("*")
                       if f.is_file()) + len(HOST_FILES) * host_file_bytes
        expected += sum((host.root / p).stat().st_size for p in
                        ("app/channels/stable.json", "app/7.2.0/release.json",
                         "app/7.2.0/release.sig"))
        if fetched != expected:
            sys.exit(f"the floor fetched {fetched} bytes, {expected} expected")

        # The order turns with each repetition, so load from elsewhere on the machine falls
        # on all three alike.
        own_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        if own_peak > 64 * 1024:
            print(f"warning: this script holds {own_peak / 1024:.0f} MiB, which the peak "
                  "memory of A may include", file=sys.stderr)
        a, b, c, cpu, peaks = [], [], [], {"A": [], "B": [], "C": []}, []
        runs = {"A": run_a, "B": run_b, "C": run_c}
        for repetition in range(options.repetitions):
            order = "ABC"[repetition % 3:] + "ABC"[:repetition % 3]
            for name in order:
                seconds, cpu_seconds, peak = runs[name]()
                {"A": a, "B": b, "C": c}[name].append(seconds)
                cpu[name].append(cpu_seconds)
                if name == "A":
                    peaks.append(peak)
            print(f"  repetition {repetition + 1}: A {a[-1]:.3f} s, B {b[-1]:.3f} s, "
                  f"C {c[-1]:.3f} s, A's peak {peaks[-1] / 1024:.1f} MiB", flush=True)
        shutil.rmtree(user_folder, ignore_errors=True)
        shutil.rmtree(floor_folder, ignore_errors=True)
    return dict(total_mib=total_mib, host_file_mib=host_file_bytes // MIB,
                requests=len(requests), connections=connections,
                a=summary(a), b=summary(b), c=summary(c),
                cpu={name: statistics.median(values) for name, values in cpu.items()},
                peak_mib=max(peaks) / 1024)


def render(r):
    lines = [
        "# Whole check run: figures",
        "",
        f"`python3 bench/whole_run_benchmark.py` on {time.strftime('%Y-%m-%d')}, "
        f"{os.cpu_count()} cores ({cpu_model()}), Linux {platform.release()}, "
        f"nginx on loopback; {r['build_type']} build; {r['repetitions']} repetitions per "
        f"release; load average {r['load']:.1f} at the end.",
        "",
        f"Each release: a loader of {LOADER_FILES} files ({LOADER_BYTES // MIB} MiB together) "
        "and an app with two host files. Downloads stream to staging files in the run folder, "
        "hashed on the way, so A's memory does not grow with the release.",
        "",
        "| Release | Run | Median wall time | Spread (min .. max) | Median CPU time |",
        "|---|---|---:|---:|---:|",
    ]
    for x in r["releases"]:
        name = f"{x['total_mib']} MiB (host files {x['host_file_mib']} MiB each)"
        for key, label in (("a", "A: `corvalis-setup --check`"),
                           ("b", "B: `curl` per URL, then `sha256sum`"),
                           ("c", "C: one `curl` for every URL, then `openssl dgst -sha256`")):
            median, low, high = x[key]
            lines.append(f"| {name} | {label} | {median:.3f} s | {low:.3f} .. {high:.3f} s | "
                         f"{x['cpu'][key.upper()]:.3f} s |")
    lines += [
        "",
        "CPU time is user plus system time of the run's processes (nginx's is not counted).",
        "",
        "| Release | Requests (connections) | A / C | A / C, CPU | A / B | A's peak resident memory |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for x in r["releases"]:
        a, b, c = x["a"][0], x["b"][0], x["c"][0]
        lines.append(
            f"| {x['total_mib']} MiB | {x['requests']} ({x['connections']}) | {a / c:.3f} | "
            f"{x['cpu']['A'] / x['cpu']['C']:.3f} | {a / b:.3f} | {x['peak_mib']:.1f} MiB |")
    lines += [
        "",
        f"Targets: A / C at most {TIME_TARGET} (C is the floor: one `curl`, one connection, "
        f"OpenSSL SHA-256); A's peak resident memory at most {PEAK_TARGET_MIB} MiB for both "
        "releases.",
        "",
    ]
    requests = r["releases"][0]["requests"]
    a = r["releases"][0]["a"][0]
    lines += [
        "Fixed cost of one request as the installer makes it (`http_get` of a 3-byte file, "
        f"mean of {PROBE_REQUESTS}), against the {r['releases'][0]['total_mib']} MiB check:",
        "",
        "| Connection | Per request | For the check's requests | Share of A |",
        "|---|---:|---:|---:|",
        f"| kept alive by the shared client | {r['cost_kept'] * 1e6:.0f} us | "
        f"{r['cost_kept'] * requests * 1e3:.1f} ms | {r['cost_kept'] * requests / a:.1%} |",
        f"| fresh for every request (server closes; {r['fresh_connections']} connections) | "
        f"{r['cost_fresh'] * 1e6:.0f} us | {r['cost_fresh'] * requests * 1e3:.1f} ms | "
        f"{r['cost_fresh'] * requests / a:.1%} |",
        "",
        "What the figures mean and what limits A, with a profile: [bench/README.md](../README.md).",
        "",
    ]
    return "\n".join(lines)


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


if __name__ == "__main__":
    main()
