#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment on a PATH with no compiler, then
# runs what a user runs first: the demo, velkora/Demo-v0 and velkora-record.
#
#     tools/check_wheel.sh dist/velkora-*.whl
#
# PYTHON312 names the interpreter (default: python3.12 on PATH). Fails on the first step
# that fails; the scratch folder is removed either way.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 WHEEL" >&2
    exit 2
fi
wheel=$(realpath "$1")
repo=$(realpath "$(dirname "$0")/..")
python=$(command -v "${PYTHON312:-python3.12}") || {
    echo "Python 3.12 not found: set PYTHON312" >&2
    exit 2
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# pip and the demo need a shell and a few utilities, nothing that compiles: a folder of
# links to those stands in for /usr/bin, so a source build anywhere would fail to find cc.
mkdir "$scratch/tools"
for tool in sh bash env uname cat ls rm mkdir cp mv ln readlink realpath dirname basename wc; do
    ln -s "$(command -v "$tool")" "$scratch/tools/$tool"
done
"$python" -m venv "$scratch/venv"
venv="$scratch/venv"
export PATH="$venv/bin:$scratch/tools"
unset CC CXX CPP LD
for compiler in cc c++ gcc g++ clang clang++; do
    if command -v "$compiler" >/dev/null; then
        echo "FAIL: $compiler is on PATH: $(command -v "$compiler")" >&2
        exit 1
    fi
done

echo "== install $(basename "$wheel") with [gym,play], binary packages only"
# --only-binary: any package pip would build from source fails here instead.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: "$wheel[gym,play]"

# Away from the checkout, so nothing is imported from the source tree.
cd "$scratch"

echo "== the demo"
"$venv/bin/python" "$repo/examples/demo.py" --out "$scratch/demo"
test -s "$scratch/demo/velkora-demo.png"
test -s "$scratch/demo/velkora-demo.wav"

echo "== velkora/Demo-v0"
"$venv/bin/python" - "$venv" <<'EOF'
import importlib.metadata
import sys
from pathlib import Path

import gymnasium as gym
import numpy as np

import velkora
import velkora_gym

venv = Path(sys.argv[1]).resolve()
for module in (velkora, velkora_gym):
    if venv not in Path(module.__file__).resolve().parents:
        sys.exit(f"FAIL: {module.__name__} imported from {module.__file__}, not the fresh environment")
installed = importlib.metadata.version("velkora")
if velkora_gym.__version__ != installed:
    sys.exit(f"FAIL: velkora_gym.__version__ {velkora_gym.__version__} but the metadata says {installed}")
licences = sorted(p.name for p in importlib.metadata.distribution("velkora").files if "licenses" in p.parts)
if licences != ["LICENSE", "pybind11-LICENSE"]:
    sys.exit(f"FAIL: the wheel's licence files are {licences}")

env = gym.make("velkora/Demo-v0")
obs, info = env.reset(seed=0)
first = obs.copy()
total = 0.0
for _ in range(60):
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
    total += float(reward)
    if terminated or truncated:
        obs, info = env.reset()
if not env.observation_space.contains(obs):
    sys.exit(f"FAIL: observation {obs.shape} {obs.dtype} outside {env.observation_space}")
if np.array_equal(first, obs):
    sys.exit("FAIL: the screen did not change in 60 steps")
env.close()
print(f"velkora {installed}: Demo-v0 observation {obs.shape} {obs.dtype}, 60 steps, reward {total:g}")
EOF

echo "== velkora-record"
"$venv/bin/velkora-record" --frames 120 --out "$scratch/clip.gif" --press 30-90:Right
test -s "$scratch/clip.gif"
test -s "$scratch/clip.wav"
wc -c "$scratch/clip.gif" "$scratch/clip.wav"

echo "wheel check passed: $(basename "$wheel") installed and ran without a compiler"
