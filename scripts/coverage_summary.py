"""Prints what scripts/coverage measured: the totals of gcovr's summary and
the largest blocks of code lines that no test ran, then the same of the
operator command's Python from coverage.py's report (operator.json).

    coverage_summary.py REPORT_DIR [BLOCKS]
"""
import json
import sys
from pathlib import Path


def uncovered_blocks(report):
    """(lines, file, first, last) for every run of code lines not run, each
    run ending at a line that ran; lines without code do not end a run.  A
    line counts once, as run when any instance of it ran (the lines of a
    template stand in the report once per instantiation)."""
    blocks = []
    for entry in report["files"]:
        ran = {}
        for ln in entry["lines"]:
            if not ln.get("gcovr/noncode") and not ln.get("gcovr/excluded"):
                ran[ln["line_number"]] = ran.get(ln["line_number"], False) or ln["count"] > 0
        run = []
        for number in sorted(ran) + [None]:
            if number is not None and not ran[number]:
                run.append(number)
                continue
            if run:
                blocks.append((len(run), entry["file"], run[0], run[-1]))
            run = []
    return sorted(blocks, key=lambda b: (-b[0], b[1], b[2]))


def uncovered_python_blocks(report):
    """The same runs for coverage.py's JSON report, whose code lines are
    those it lists as executed or missing."""
    blocks = []
    for name, entry in report["files"].items():
        missing = set(entry["missing_lines"])
        run = []
        for number in sorted(missing | set(entry["executed_lines"])) + [None]:
            if number in missing:
                run.append(number)
                continue
            if run:
                blocks.append((len(run), name, run[0], run[-1]))
            run = []
    return sorted(blocks, key=lambda b: (-b[0], b[1], b[2]))


def print_blocks(blocks, shown):
    print("largest uncovered blocks (code lines not run):")
    for count, name, first, last in blocks[:shown]:
        span = f"{first}" if first == last else f"{first}-{last}"
        print(f"  {count:3}  {name}:{span}")


def percent(part, whole):
    return f"{100 * part / max(whole, 1):5.1f} %  ({part} of {whole})"


def print_operator(out, shown):
    path = out / "operator.json"
    if not path.exists():
        print("operator command: coverage.py wrote no report")
        return
    report = json.loads(path.read_text())
    totals = report["totals"]
    print("operator command (scripts/plugin_loader/, coverage.py):")
    print(f"{'lines':10} {percent(totals['covered_lines'], totals['num_statements'])}")
    print(f"{'branches':10} {percent(totals['covered_branches'], totals['num_branches'])}")
    print_blocks([(n, Path(f).name, a, b) for n, f, a, b in uncovered_python_blocks(report)],
                 shown)


def main():
    out = Path(sys.argv[1])
    shown = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    summary = json.loads((out / "summary.json").read_text())
    for what, name in (("line", "lines"), ("function", "functions"), ("branch", "branches")):
        print(f"{name:10} {summary[what + '_percent']:5.1f} %  "
              f"({summary[what + '_covered']} of {summary[what + '_total']})")
    print_blocks(uncovered_blocks(json.loads((out / "coverage.json").read_text())), shown)
    print_operator(out, shown)


if __name__ == "__main__":
    main()
