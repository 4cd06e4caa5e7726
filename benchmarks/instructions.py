"""Instructions per full run, counted by valgrind's callgrind: a figure that
does not move with machine noise.

Each count comes from two child processes that do the same set-up and warm-up
and then make 0 and ``runs`` runs; the difference divided by ``runs`` is one
run. The floor (the same collaborator calls made by plain Python on a fresh
thread) is counted the same way.

``python -m benchmarks.instructions --profile DIR`` keeps the callgrind output
of the module's runs for ``callgrind_annotate``.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

from benchmarks import ROOT

WARM_UP_RUNS = 20
PROBE_TIMEOUT_S = 900


def _probe_command(target, kind, runs, out_file):
    return ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
            sys.executable, "-m", "benchmarks.probe", target, kind, str(runs), str(WARM_UP_RUNS)]


def _total_instructions(out_file):
    with open(out_file) as handle:
        for line in handle:
            match = re.match(r"(?:summary|totals):\s+(\d+)", line)
            if match:
                return int(match.group(1))
    raise ValueError(f"no instruction total in {out_file}")


def _count(target, kind, runs, directory):
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=str(ROOT))
    totals = []
    for n in (0, runs):
        out_file = os.path.join(directory, f"callgrind.{target}.{kind}.{n}")
        subprocess.run(_probe_command(target, kind, n, out_file), check=True, env=env,
                       cwd=ROOT, timeout=PROBE_TIMEOUT_S, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        totals.append(_total_instructions(out_file))
    return (totals[1] - totals[0]) / runs


def count(runs=20, directory=None):
    """Instructions per run of the module and of its floor, signal and strategy;
    None (with the reason) when valgrind is not installed."""
    if shutil.which("valgrind") is None:
        return {"skipped": "valgrind is not installed"}
    keep = directory is not None
    directory = directory or tempfile.mkdtemp(prefix="simsig-callgrind-")
    jobs = [(target, kind) for kind in ("signal", "strategy") for target in ("module", "floor")]
    try:
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            counts = list(pool.map(lambda job: _count(*job, runs, directory), jobs))
    finally:
        if not keep:
            shutil.rmtree(directory, ignore_errors=True)
    out = {}
    for (target, kind), value in zip(jobs, counts):
        out.setdefault(kind, {})[target] = value
    for kind, values in out.items():
        values["ratio_to_floor"] = values["module"] / values["floor"]
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m benchmarks.instructions")
    parser.add_argument("--profile", required=True, metavar="DIR",
                        help="directory that keeps the callgrind output files")
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args(argv)
    os.makedirs(args.profile, exist_ok=True)
    print(count(args.runs, args.profile))
    print(f"callgrind_annotate --inclusive=yes {args.profile}/callgrind.module.signal.{args.runs}")


if __name__ == "__main__":
    main()
