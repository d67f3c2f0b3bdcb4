"""The README's first two commands are the main job and every test; CI runs both."""

import re
import subprocess

from toolrun import REPO


def shell_blocks():
    return re.findall(r"```sh\n(.*?)```", (REPO / "README.md").read_text(), re.S)


def test_the_first_command_is_the_main_job_and_the_second_runs_every_test():
    blocks = shell_blocks()
    assert blocks[0].strip() == "bash tools/demo.sh"
    assert blocks[1].strip() == "bash tools/test.sh"


def test_ci_and_the_test_command_run_every_stage_the_main_job_among_them():
    listed = subprocess.run(["bash", REPO / "tools" / "ci.sh", "--list"], capture_output=True, text=True, check=True)
    stages = [line.split()[0] for line in listed.stdout.splitlines()]
    ci_run = (REPO / ".ci" / "run").read_text().strip().splitlines()[-1]
    assert ci_run.split() == ["exec", "bash", "tools/ci.sh", *stages]
    assert (REPO / "tools" / "test.sh").read_text().strip().endswith('/ci.sh" all')
    assert "demo" in stages
    assert "stage_demo() { bash tools/demo.sh; }" in (REPO / "tools" / "ci.sh").read_text()


def test_the_main_job_streams_a_simulated_sensor_with_an_example_file():
    demo = (REPO / "tools" / "demo.sh").read_text()
    assert "pip install ." in demo
    match = re.search(r"feltwise stream --simulate --params (\S+) --zero", demo)
    assert match and (REPO / match.group(1)).is_file()
