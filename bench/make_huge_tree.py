#!/usr/bin/env python3
"""Makes the "huge" working tree for the monitor's scale benchmarks: one
commit of FILES files spread evenly over FOLDERS folders (defaults 1,000,000
in 50,000: about 3 GB of disk), checked out clean.

    bench/make_huge_tree.py /tmp/tavrik-bench-huge

The tree is written through git fast-import and checked out by git itself,
so the index is git's own. A folder's Nth file has the same content in every
folder: status compares file times and sizes, not content, and a few dozen
distinct objects take seconds to import where a million take an hour. Build it in the temporary folder, never in
CI: it takes minutes and gigabytes.
"""

import argparse
import os
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dir", help="repository to create (must not exist)")
    parser.add_argument("--files", type=int, default=1_000_000)
    parser.add_argument("--folders", type=int, default=50_000)
    args = parser.parse_args()
    if args.folders <= 0 or args.files < args.folders:
        sys.exit("need at least one file per folder")
    if os.path.exists(args.dir):
        sys.exit(f"{args.dir} exists")

    git = ["git", "-C", args.dir]
    subprocess.run(["git", "init", "-q", "-b", "main", args.dir], check=True)
    for key, value in (("gc.auto", "0"), ("maintenance.auto", "false"), ("user.name", "Bench"),
                       ("user.email", "bench@example.com")):
        subprocess.run(git + ["config", key, value], check=True)

    importer = subprocess.Popen(git + ["fast-import", "--quiet"], stdin=subprocess.PIPE)
    out = importer.stdin
    # Two levels, so that no folder lists more than a few hundred entries.
    top = max(1, round(args.folders ** 0.5))
    per_folder, extra = divmod(args.files, args.folders)
    for n in range(per_folder + (1 if extra else 0)):
        data = f"file {n} of every folder\n".encode()
        out.write(b"blob\nmark :" + str(n + 1).encode() + b"\ndata " + str(len(data)).encode() + b"\n" + data + b"\n")
    out.write(b"commit refs/heads/main\ncommitter Bench <bench@example.com> 1700000000 +0000\n"
              b"data 11\nhuge tree\n\n")
    written = 0
    for folder in range(args.folders):
        base = f"d{folder % top:03d}/f{folder:05d}"
        for n in range(per_folder + (1 if folder < extra else 0)):
            out.write(f"M 100644 :{n + 1} {base}/file{n:03d}.txt\n".encode())
            written += 1
        if folder % 5000 == 4999:
            print(f"{written} files streamed", file=sys.stderr)
    out.close()
    if importer.wait() != 0:
        sys.exit("git fast-import failed")
    subprocess.run(git + ["reset", "-q", "--hard", "main"], check=True)
    print(f"{args.dir}: {written} files in {args.folders} folders", file=sys.stderr)


if __name__ == "__main__":
    main()
