"""Checks tarnwick's stub as its users meet it: mypy --strict and pyright accept the README's
examples, examples/demo.py and tests/typing/usage.py; both report every line of
tests/typing/misuse.py marked "# error" and no other line; stubtest finds the stub and the compiled
module in agreement; and the README's examples and the usage file run (so the stub accepts no call
that the module refuses).

    python scripts/check_types.py   (the interpreter of an environment that has tarnwick installed,
                                     with mypy, pyright and pillow)

The files are copied to a temporary folder first, so that neither the source tree nor its
configuration can stand in for what is installed.
"""

import json
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ACCEPTED = (ROOT / "examples" / "demo.py", ROOT / "tests" / "typing" / "usage.py")
MISUSE = ROOT / "tests" / "typing" / "misuse.py"
# The runtime signature of detect reads "(gray, scale=...)", while the stub tells the real
# default; the parameter names are pinned by the module's own tests.
STUBTEST_ALLOWLIST = "tarnwick.detect\n"


def readme_examples(readme: Path) -> list[str]:
    return re.findall(r"^```python\n(.*?)^```", readme.read_text(), flags=re.S | re.M)


def run(command: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True)


def mypy_errors(files: list[str], work: Path) -> set[tuple[str, int]]:
    done = run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(work / ".mypy"),
                *files], work)
    found = {(m[1], int(m[2])) for m in re.finditer(r"^([^:\n]+):(\d+): error:", done.stdout, re.M)}
    if done.returncode not in (0, 1) or (done.returncode == 1) != bool(found):
        sys.exit(f"mypy failed to run:\n{done.stdout}{done.stderr}")
    return found


def pyright_errors(files: list[str], work: Path) -> set[tuple[str, int]]:
    done = run([sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
                *files], work)
    try:
        report = json.loads(done.stdout)
    except json.JSONDecodeError:
        sys.exit(f"pyright failed to run:\n{done.stdout}{done.stderr}")
    return {(Path(d["file"]).name, d["range"]["start"]["line"] + 1)
            for d in report["generalDiagnostics"] if d["severity"] in ("error", "warning")}


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        examples = readme_examples(ROOT / "README.md")
        if not examples:
            sys.exit("README.md has no python example")
        readme_files = [f"readme_example_{number}.py" for number in range(1, len(examples) + 1)]
        for name, code in zip(readme_files, examples):
            (work / name).write_text(code)
        for path in (*ACCEPTED, MISUSE):
            shutil.copy(path, work)
        files = [*readme_files, *(path.name for path in ACCEPTED), MISUSE.name]

        expected = {(MISUSE.name, number)
                    for number, line in enumerate(MISUSE.read_text().splitlines(), 1)
                    if line.endswith("# error")}
        failures = []
        for checker, errors in (("mypy --strict", mypy_errors), ("pyright", pyright_errors)):
            found = errors(files, work)
            for name, line in sorted(found - expected):
                failures.append(f"{checker}: unexpected error at {name}:{line}")
            for name, line in sorted(expected - found):
                failures.append(f"{checker}: no error reported at {name}:{line}")
            print(f"{checker}: {len(found & expected)} of {len(expected)} wrong calls reported, "
                  f"{len(found - expected)} unexpected errors in {len(files)} files")

        (work / "allowlist.txt").write_text(STUBTEST_ALLOWLIST)
        stubtest = run([sys.executable, "-m", "mypy.stubtest", "tarnwick",
                        "--allowlist", "allowlist.txt"], work)
        print(f"stubtest: exit {stubtest.returncode}")
        if stubtest.returncode != 0:
            failures.append(f"stubtest:\n{stubtest.stdout}{stubtest.stderr}")

        runnable = [*readme_files, "usage.py"]
        for name in runnable:
            done = run([sys.executable, name], work)
            if done.returncode != 0:
                failures.append(f"{name} does not run:\n{done.stderr}")
        print(f"ran {', '.join(runnable)}")

    if failures:
        sys.exit("\n".join(failures))


if __name__ == "__main__":
    main()
