#!/usr/bin/env python3
"""Whole-process pairs: the client against the git command a person would
otherwise run. Each pair runs in turn (A B A B ...), so the load of the
machine falls on both alike; prints the median wall time of each side, the
median of the per-pair ratios and the difference of the medians.

    bench/process_pairs.py TAVRIK GIT_CLONE BENCH_REPO [--runs N]

TAVRIK is the client (build/release/cli/tavrik), GIT_CLONE a clone of git's
own repository (many annotated tags) with a commit-graph file, BENCH_REPO a
repository made by make-bench-repo --profile large. A one-commit repository
and a copy of GIT_CLONE without its commit-graph are made in a temporary
folder.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

REF_FORMAT = ("--format=%(HEAD)%09%(objectname)%09%(*objectname)%09%(refname)%09%(symref)%09%(upstream)"
              "%09%(upstream:remotename)%09%(upstream:remoteref)%09%(creatordate:iso8601-strict)"
              "%09%(upstream:track,nobracket)")


def timed(command, cwd):
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def pair(name, cwd, a, b, runs):
    timed(a, cwd), timed(b, cwd)  # warm the caches
    ta, tb = [], []
    for _ in range(runs):
        ta.append(timed(a, cwd))
        tb.append(timed(b, cwd))
    ma, mb = statistics.median(ta) * 1e3, statistics.median(tb) * 1e3
    ratio = statistics.median(x / y for x, y in zip(ta, tb))
    print(f"{name:46} {ma:8.1f} ms {mb:8.1f} ms  ratio {ratio:5.2f}  difference {ma - mb:+7.1f} ms", flush=True)


def git(*args, cwd):
    subprocess.run(["git", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tavrik")
    parser.add_argument("clone")
    parser.add_argument("large")
    parser.add_argument("--runs", type=int, default=15)
    options = parser.parse_args()
    tavrik = os.path.realpath(options.tavrik)
    runs = options.runs
    with tempfile.TemporaryDirectory() as scratch:
        small = os.path.join(scratch, "small")
        os.mkdir(small)
        git("init", "-q", cwd=small)
        with open(os.path.join(small, "a"), "w") as f:
            f.write("a\n")
        git("add", "a", cwd=small)
        git("-c", "user.name=bench", "-c", "user.email=bench@example.com", "commit", "-qm", "one", cwd=small)
        nograph = os.path.join(scratch, "nograph")
        git("clone", "-q", "--shared", "--no-checkout", options.clone, nograph, cwd=scratch)
        git("config", "core.commitGraph", "false", cwd=nograph)

        print(f"runs: {runs} per side; load average at start: {os.getloadavg()}")
        clone, large = options.clone, options.large
        rev_parse = ["git", "rev-parse", "--is-inside-work-tree"]
        log = ["git", "log", "--topo-order", "--date-order", "-n", "50"]
        pair("describe vs rev-parse (one commit)", small, [tavrik, "describe"], rev_parse, runs)
        pair("head vs rev-parse (one commit)", small, [tavrik, "head"], rev_parse, runs)
        for where, repo in (("git clone", clone), ("large", large)):
            for extra in ([], ["--json"]):
                pair(f"refs {' '.join(extra)} vs for-each-ref ({where})", repo, [tavrik, "refs", *extra],
                     ["git", "for-each-ref", REF_FORMAT], runs)
        pair("log -n 50 --json, commit-graph", clone, [tavrik, "log", "-n", "50", "--json"], log, runs)
        pair("log -n 50, commit-graph", clone, [tavrik, "log", "-n", "50"], log, runs)
        pair("log -n 50 --json, no commit-graph", nograph, [tavrik, "log", "-n", "50", "--json"], log, runs)
        pair("status vs status --porcelain=v2 (large)", large, [tavrik, "status"],
             ["git", "status", "-z", "--porcelain=v2"], max(5, runs // 3))
        print(f"load average at end: {os.getloadavg()}")


if __name__ == "__main__":
    main()
