#!/usr/bin/env bash
# Mutation testing of the C++ extension against the test suite.
#
# Each mutant of scripts/mutants.txt (one slip: a file, an exact snippet and
# its replacement) is applied alone to a scratch copy of the repository's
# files (build/mutate/src, synced from the files git lists; the working tree
# is only read), the extension is rebuilt incrementally (build/mutate/build)
# and the suite runs on it on the chosen CPython with -x and a time-out; the
# file is then restored. The unmutated suite runs first and must pass.
#
# Outcomes: "caught" (the first failing test is named; one that passes when
# run again alone is flaky, left out, and the suite goes on without it),
# "survived", "timed out" (the suite hung: counted as detected), "did not
# build", "stale" (the snippet is not found exactly once: not run).
#
#   scripts/mutate.sh                     # every mutant
#   scripts/mutate.sh run-release-twice config-era-zero-refused   # those ids only
#   scripts/mutate.sh --list              # ids, files, slips; stale ones marked
#   scripts/mutate.sh --python            # mutmut over reference_runtime/ (pyproject.toml)
#
# Options: --timeout S (per mutant; default three times the unmutated run
# plus a minute), --no-baseline (skip the unmutated run), --mutants FILE,
# --pytest "ARGS" (pytest arguments in place of the whole suite).
# The interpreter is PYTHON=..., default .venv/bin/python (scripts/setup-env.sh
# makes it: CPython 3.12); MUTMUT_CHILDREN=N sets mutmut's parallel runs
# (default 2). Logs: build/mutate/logs/<id>.{build,test}.log; the table is
# also written to build/mutate/results.txt. On two cores a full run takes
# about ten minutes, and a minute and a half more for each survivor.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
py=${PYTHON:-.venv/bin/python}
[ -x "$py" ] || { echo "no interpreter at $py: run scripts/setup-env.sh or set PYTHON" >&2; exit 1; }
py=$(cd "$(dirname "$py")" && pwd)/$(basename "$py")
scratch=$root/build/mutate
src=$scratch/src
bld=$scratch/build
logs=$scratch/logs
mutants=scripts/mutants.txt
timeout_s= baseline=1 list= python_mode= pytest_extra=() ids=()
while [ $# -gt 0 ]; do
    case $1 in
        --timeout) timeout_s=$2; shift 2 ;;
        --no-baseline) baseline=; shift ;;
        --mutants) mutants=$2; shift 2 ;;
        --pytest) read -r -a pytest_extra <<<"$2"; shift 2 ;;
        --list) list=1; shift ;;
        --python) python_mode=1; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) ids+=("$1"); shift ;;
    esac
done
mutants=$(cd "$(dirname "$mutants")" && pwd)/$(basename "$mutants")

# The Python half: parsing the mutants, syncing the scratch copy, applying
# and restoring a mutant, reading pytest's log.
tool() {
    "$py" - "$@" <<'PY'
import os, re, subprocess, sys
from pathlib import Path

def parse(path):
    """Blocks: '== id', then 'what:', 'file:' (and optional 'survives:' lines),
    '---' and the snippet, '+++' and the replacement, which ends at a blank
    line. '#' lines outside snippets are comments."""
    blocks, cur, part = [], None, None
    for line in Path(path).read_text().splitlines():
        if line.startswith("== "):
            cur = {"id": line[3:].strip(), "what": "", "file": "", "survives": "",
                   "old": [], "new": []}
            blocks.append(cur); part = None
        elif cur is None or (part is None and (not line.strip() or line.startswith("#"))):
            continue
        elif line == "---":
            part = "old"
        elif line == "+++":
            part = "new"
        elif part == "new" and not line.strip():
            part = None                 # a blank line ends the replacement
        elif part:
            cur[part].append(line)
        else:
            key, _, value = line.partition(":")
            if key not in ("what", "file", "survives"):
                sys.exit(f"{path}: mutant {cur['id']}: unexpected line {line!r}")
            cur[key] = (cur[key] + " " + value.strip()).strip()
    for b in blocks:
        b["old"], b["new"] = "\n".join(b["old"]), "\n".join(b["new"])
    seen = set()
    for b in blocks:
        if b["id"] in seen or not b["file"] or not b["old"]:
            sys.exit(f"{path}: mutant {b['id']}: duplicate id, or no file or snippet")
        seen.add(b["id"])
    return blocks

def select(path, ids):
    blocks = parse(path)
    known = {b["id"] for b in blocks}
    unknown = [i for i in ids if i not in known]
    if unknown:
        sys.exit("unknown mutant ids: " + ", ".join(unknown))
    return [b for b in blocks if not ids or b["id"] in ids]

def count(root, b):
    f = Path(root, b["file"])
    return f.read_text().count(b["old"]) if f.is_file() else 0

cmd, args = sys.argv[1], sys.argv[2:]
if cmd == "plan":          # mutants file, ids...: "id<TAB>file<TAB>state" lines
    for b in select(args[0], args[1:]):
        n = count(".", b)
        state = "ok" if n == 1 else f"stale (snippet found {n} times)"
        print(f"{b['id']}\t{b['file']}\t{state}\t{b['what']}\t{b['survives']}")
elif cmd == "sync":        # dest: copy the files git knows where they differ
    dest = Path(args[0])
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True, check=True).stdout
    files = sorted({f for f in listed.decode().split("\0") if f and Path(f).is_file()})
    manifest = dest.parent / "manifest.txt"
    before = set(manifest.read_text().split("\n")) if manifest.exists() else set()
    for gone in before - set(files) - {""}:
        Path(dest, gone).unlink(missing_ok=True)
    for f in files:
        data, target = Path(f).read_bytes(), dest / f
        if not target.is_file() or target.read_bytes() != data:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        os.chmod(target, os.stat(f).st_mode)
    manifest.write_text("\n".join(files))
elif cmd in ("apply", "restore"):   # mutants file, id, dest
    b = select(args[0], [args[1]])[0]
    target = Path(args[2], b["file"])
    original = Path(b["file"]).read_text()
    target.write_text(original.replace(b["old"], b["new"], 1) if cmd == "apply" else original)
elif cmd == "failure":     # pytest log: the first failing test (or where it crashed)
    text = Path(args[0]).read_text(errors="replace")
    m = re.search(r"^(?:FAILED|ERROR) (\S.*?)(?: - |$)", text, re.M)
    if m:
        print(m.group(1))
    else:
        ran = re.findall(r"^(tests/\S+::\S.*?)(?: (?:PASSED|FAILED|ERROR|SKIPPED|XFAIL)"
                         r"| ?Fatal Python error|$)", text, re.M)
        print(("crash in " + ran[-1]) if ran else "no test named")
PY
}

sync() { mkdir -p "$src" "$logs"; tool sync "$src"; }

if [ -n "$list" ]; then
    tool plan "$mutants" "${ids[@]}" | awk -F'\t' '{printf "%-34s %-44s %s\n    %s%s\n", $1, $2,
        ($3 == "ok" ? "" : $3), $4, ($5 == "" ? "" : "\n    survives: " $5)}'
    exit 0
fi

build() {  # build log: 0 when the extension built
    if [ ! -f "$bld/CMakeCache.txt" ]; then
        cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" \
            >"$1" 2>&1 || { rm -rf "$bld"; return 1; }
    fi
    cmake --build "$bld" -j2 </dev/null >>"$1" 2>&1
}

if [ -n "$python_mode" ]; then
    # mutmut mutates reference_runtime/ in its own copy (mutants/) of the
    # scratch tree and runs the tests named in pyproject.toml's [tool.mutmut].
    "$py" -c "import mutmut" 2>/dev/null || {
        echo "mutmut is not installed in $py (pip install -r requirements-dev.txt)" >&2; exit 1; }
    sync
    build "$logs/mutmut.build.log" || { echo "the extension does not build: $logs/mutmut.build.log" >&2; exit 1; }
    cd "$src"
    export SIMULATE_SIGNAL_BUILD=$bld/pkg
    status=0
    "$py" -m mutmut run --max-children "${MUTMUT_CHILDREN:-2}" || status=$?
    "$py" -m mutmut results || true
    exit $status
fi

pytest_args=(-x -v -rfE -p no:cacheprovider)
"$py" -c "import pytest_randomly" 2>/dev/null && pytest_args+=(-p no:randomly)
# The whole suite, the files that judge the C++ most closely first: with -x a
# caught mutant stops there, and only a survivor waits for the slow ones.
if [ ${#pytest_extra[@]} -eq 0 ]; then
    first=(pipeline handle config runtime_data frame futures faults fuzz)
    pytest_extra=("${first[@]/#/tests/test_}"); pytest_extra=("${pytest_extra[@]/%/.py}")
    for f in tests/test_*.py; do
        [[ " ${pytest_extra[*]} " == *" $f "* ]] || pytest_extra+=("$f")
    done
fi
run_suite() {  # time-out, log, pytest arguments: pytest's exit status (124, 137: timed out)
    local limit=$1 log=$2; shift 2
    { (cd "$src" && SIMULATE_SIGNAL_BUILD="$bld/pkg" timeout -k 10 "$limit" \
        "$py" -m pytest "${pytest_args[@]}" "$@" </dev/null >"$log" 2>&1); } 2>>"$log"
}
# The suite on the mutant. A failing test is run once more on its own: one
# that passes then is flaky (a time-out under load), is left out and the suite
# goes on without it, at most twice. Sets outcome and detail.
judge() {  # id
    local log=$logs/$1.test.log t0=$SECONDS status failing deselect=() flaky=()
    for _ in 1 2 3; do
        status=0
        run_suite "$timeout_s" "$log" "${pytest_extra[@]}" "${deselect[@]}" || status=$?
        case $status in
            0) outcome=survived; detail=${survives:+"(known: $survives)"}; break ;;
            124|137) outcome="timed out"; detail="after $((SECONDS - t0)) s"; break ;;
        esac
        failing=$(tool failure "$log")
        outcome=caught detail="by $failing"
        [[ ${failing#crash in } == tests/* ]] || break
        status=0
        run_suite "$timeout_s" "$log.again" "${failing#crash in }" || status=$?
        [ $status -eq 0 ] || break
        flaky+=("${failing#crash in }"); deselect+=(--deselect "${failing#crash in }")
    done
    [ ${#flaky[@]} -eq 0 ] || detail="${detail:+$detail }[flaky, left out: ${flaky[*]}]"
}

sync
plan=$(tool plan "$mutants" "${ids[@]}")
[ -n "$plan" ] || { echo "no mutants in $mutants" >&2; exit 1; }
start=$SECONDS
if [ -n "$baseline" ]; then
    echo "== unmutated: building and running the suite"
    build "$logs/baseline.build.log" || { echo "the unmutated tree does not build: $logs/baseline.build.log" >&2; exit 1; }
    t0=$SECONDS
    run_suite 3600 "$logs/baseline.test.log" "${pytest_extra[@]}" || {
        echo "the suite fails without a mutant: $logs/baseline.test.log" >&2; exit 1; }
    : "${timeout_s:=$((3 * (SECONDS - t0) + 60))}"
    echo "   passed in $((SECONDS - t0)) s; time-out per mutant ${timeout_s} s"
fi
: "${timeout_s:=600}"

current=
trap '[ -z "$current" ] || tool restore "$mutants" "$current" "$src"' EXIT
trap 'exit 130' INT TERM
results=$scratch/results.txt
: >"$results"
row() { printf '%-34s %-30s %s\n' "$1" "$2" "$3" | tee -a "$results"; }
declare -A counts=()
row ID FILE OUTCOME
while IFS=$'\t' read -r id file state what survives; do
    short=${file#src/simulate_signal/}
    if [ "$state" != ok ]; then
        outcome=stale; detail=$state
    else
        current=$id
        tool apply "$mutants" "$id" "$src"
        if ! build "$logs/$id.build.log"; then
            outcome="did not build"; detail=
        else
            judge "$id"
        fi
        tool restore "$mutants" "$id" "$src"
        current=
    fi
    counts[$outcome]=$(( ${counts[$outcome]:-0} + 1 ))
    row "$id" "$short" "$outcome${detail:+ $detail}"
done <<<"$plan"

total=$(wc -l <<<"$plan")
detected=$(( ${counts[caught]:-0} + ${counts[timed out]:-0} ))
judged=$(( detected + ${counts[survived]:-0} ))
summary="$total mutants: ${counts[caught]:-0} caught, ${counts[survived]:-0} survived, \
${counts[timed out]:-0} timed out, ${counts[did not build]:-0} did not build, \
${counts[stale]:-0} stale; detected $detected of $judged \
($(( judged ? 100 * detected / judged : 0 ))%) in $(( (SECONDS - start) / 60 )) min"
echo "$summary" | tee -a "$results"
