"""Search latency of builds of ostrel on the peer comparison's data, run in
turn so that all see the same machine load.

Each round runs compare.py's ostrel worker ("full" configurations: k = 10
with and without filters, k = 100, and k = 10 after deleting 10 % on the
128-d set) once per build, in a fresh interpreter with that build's module
first on the path, the order of the builds rotating between rounds. The
report gives, per row, the median over rounds of each build's p50 and its
ratio to the first build's.

    /usr/bin/python3 bench/ab.py BASE_BUILD OTHER_BUILD... [--rounds 5] [--quick]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile


import compare


def run(build, task, data_dir):
    fd, path = tempfile.mkstemp(suffix=".json")
    os.close(fd)
    env = dict(os.environ, PYTHONPATH=os.path.join(os.path.abspath(build), "python"))
    try:
        subprocess.run([sys.executable, compare.__file__, "--worker", json.dumps(task),
                        "--data-dir", data_dir, "--result", path], check=True, env=env,
                       capture_output=True)
        with open(path) as f:
            return {r["config"]: r["p50"] for r in json.load(f)["rows"]}
    finally:
        os.unlink(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="1/10 of the documents")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as data_dir:
        for key, (dim, n) in compare.DATASETS.items():
            n = max(n // compare.QUICK_DIVISOR, compare.QUICK_FLOOR) if args.quick else n
            compare.generate(key, dim, n, data_dir)
            task = {"system": "ostrel", "set": key, "mode": "numpy", "configs": "full",
                    "delete": key in compare.DELETE_SETS, "n": n}
            p50 = {build: [] for build in args.builds}
            for r in range(args.rounds):
                for i in range(len(args.builds)):
                    build = args.builds[(r + i) % len(args.builds)]
                    p50[build].append(run(build, task, data_dir))
            base, others = args.builds[0], args.builds[1:]
            print(f"\n{dim}-d x {n:,} ({args.rounds} rounds, median of p50 in µs)")
            print("| row | " + " | ".join(args.builds) + " | " +
                  " | ".join(f"{b} / {base}" for b in others) + " |")
            print("|---" * (1 + 2 * len(args.builds) - 1) + "|")
            for config in p50[base][0]:
                med = [statistics.median(x[config] for x in p50[b]) for b in args.builds]
                print(f"| {config} | " + " | ".join(f"{m:.1f}" for m in med) + " | " +
                      " | ".join(f"{m / med[0]:.3f}" for m in med[1:]) + " |")


if __name__ == "__main__":
    main()
