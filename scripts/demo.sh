#!/usr/bin/env bash
# Builds tarnwick into its own venv and runs the demo on the bundled photograph.
set -euo pipefail

cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
venv=build/venv-demo

if [ ! -x "$venv/bin/python" ]; then
    if ! "$python" -m venv "$venv"; then
        # Debian splits ensurepip out of its python3 package.
        rm -rf "$venv"
        short=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y "python$short-venv"
        "$python" -m venv "$venv"
    fi
fi
"$venv/bin/python" -m pip install --progress-bar off ".[demo]"
"$venv/bin/python" examples/demo.py
