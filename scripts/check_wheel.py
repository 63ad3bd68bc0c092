"""Checks a built tarnwick wheel: it holds exactly the extension, the stub package, the command
line's modules and its metadata (no tests, no vendored libraries), and its metadata states the licence, the README, the supported
interpreters and valid classifiers.

    python scripts/check_wheel.py WHEEL   (needs the trove-classifiers package)
"""

import fnmatch
import sys
import zipfile
from email.parser import Parser
from pathlib import Path

from trove_classifiers import classifiers as known_classifiers

ROOT = Path(__file__).resolve().parent.parent
DIST_INFO = "tarnwick-*.dist-info"
# Every file the wheel may hold, and each exactly once.
EXPECTED = (
    "tarnwick.cpython-*.so",
    "tarnwick-stubs/__init__.pyi",
    "tarnwick_cli/__init__.py",
    "tarnwick_cli/__main__.py",
    f"{DIST_INFO}/METADATA",
    f"{DIST_INFO}/WHEEL",
    f"{DIST_INFO}/RECORD",
    f"{DIST_INFO}/entry_points.txt",
    f"{DIST_INFO}/licenses/LICENSE",
)
# The command line's other modules, as many as there are in the source tree.
CLI_MODULES = sorted(f"tarnwick_cli/{p.name}" for p in (ROOT / "src" / "tarnwick_cli").glob("*.py"))
REQUIRED_CLASSIFIERS = {
    *(f"Programming Language :: Python :: 3.{minor}" for minor in range(11, 15)),
    "Programming Language :: Python :: Free Threading :: 3 - Stable",
    "Typing :: Typed",
}


def file_problems(names: list[str]) -> list[str]:
    problems = []
    for pattern in EXPECTED:
        matches = fnmatch.filter(names, pattern)
        if len(matches) != 1:
            problems.append(f"{len(matches)} files match {pattern}: {matches}")
    missing_modules = sorted(set(CLI_MODULES) - set(names))
    if missing_modules:
        problems.append(f"missing modules {missing_modules}")
    for name in names:
        if name not in CLI_MODULES and not any(fnmatch.fnmatch(name, p) for p in EXPECTED):
            problems.append(f"unexpected file {name}")
    return problems


def metadata_problems(wheel: zipfile.ZipFile, names: list[str]) -> list[str]:
    def read(pattern: str) -> str:
        return wheel.read(fnmatch.filter(names, pattern)[0]).decode()

    metadata = Parser().parsestr(read(f"{DIST_INFO}/METADATA"))
    problems = []
    fields = {"License-Expression": "MIT", "License-File": "LICENSE", "Requires-Python": ">=3.11",
              "Description-Content-Type": "text/markdown"}
    for field, value in fields.items():
        if metadata.get(field) != value:
            problems.append(f"METADATA {field} is {metadata.get(field)!r}, not {value!r}")
    if not any(r.startswith("numpy") for r in metadata.get_all("Requires-Dist", [])):
        problems.append("METADATA does not require numpy")
    if str(metadata.get_payload()).strip() != (ROOT / "README.md").read_text().strip():
        problems.append("the long description is not README.md")
    if read(f"{DIST_INFO}/licenses/LICENSE") != (ROOT / "LICENSE").read_text():
        problems.append("the licence file differs from LICENSE")
    classifiers = set(metadata.get_all("Classifier", []))
    problems += [f"unknown classifier {c!r}" for c in sorted(classifiers - known_classifiers)]
    problems += [f"missing classifier {c!r}" for c in sorted(REQUIRED_CLASSIFIERS - classifiers)]
    tags = Parser().parsestr(read(f"{DIST_INFO}/WHEEL")).get_all("Tag", [])
    if not tags or not all("-manylinux_" in tag for tag in tags):
        problems.append(f"the wheel's tags are not manylinux tags: {tags}")
    return problems


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with zipfile.ZipFile(sys.argv[1]) as wheel:
        names = [name for name in wheel.namelist() if not name.endswith("/")]
        problems = file_problems(names) or metadata_problems(wheel, names)
    if problems:
        sys.exit("\n".join([f"{sys.argv[1]}:", *problems]))
    print(f"{Path(sys.argv[1]).name}: {len(names)} files as expected, metadata complete")


if __name__ == "__main__":
    main()
