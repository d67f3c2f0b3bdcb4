"""The process of a `SimulatedSensor` (simulated_sensor.py).

`main(settings_json)` plays the sensor the settings describe: it prints the
port as its first line, streams until SIGTERM (or SIGINT, SIGHUP) and prints
its statistics as one JSON line. Settings it cannot play end it with their
reason as one line on standard error and status 1.
"""

from __future__ import annotations

import json
import sys

from ..errors import ParameterFileError, SimulatorError
from .settings import SimulatorSettings
from .simulator import engine_for, run_until_signalled


def main(settings_json: str) -> None:
    try:
        engine = engine_for(SimulatorSettings.from_json(settings_json))
    except (SimulatorError, ParameterFileError, ValueError, TypeError) as error:
        print(error, file=sys.stderr, flush=True)
        sys.exit(1)
    stats = run_until_signalled(engine, opened=lambda path: print(path, flush=True))
    print(json.dumps(stats), flush=True)
