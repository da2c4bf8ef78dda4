"""The example that CI runs: a random agent whose rewards must add up to the page's P&L."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples",
                       "random_agent.py")


@pytest.mark.parametrize("num_envs", [1, 3])
def test_random_agent_example(num_envs):
    run = subprocess.run([sys.executable, EXAMPLE, "--episodes", "4", "--episode-length", "12",
                          "--num-envs", str(num_envs)], capture_output=True, text=True, timeout=180,
                         stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stdout + run.stderr
    rows = [line.split() for line in run.stdout.splitlines()[1:5]]
    assert [row[2] for row in rows] == ["12"] * 4
    assert all(abs(float(row[4]) - float(row[5])) <= 0.01 for row in rows)  # return and page P&L
    assert "every episode's rewards add up to the page's P&L" in run.stdout
