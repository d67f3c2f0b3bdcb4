"""Raw readings that look like a finger on the skin.

Every channel rests near the offset its parameter record was calibrated with,
but not on it: each simulated sensor starts a few tens of counts away and
drifts slowly, with a little noise on top, so that calibrated values at rest
are off until the host zeroes. A pressure blob wanders over the taxel grid
(one cell per unit, in the order `layout.Layout` gives), pressing and
lifting in cycles that start with a few seconds at rest: a host that zeroes
right after it connects zeroes an untouched sensor. Triaxial units under the
blob feel normal force on all four elements and shear in the blob's
direction of travel.
"""

import math
import random

from ..layout import Taxel, Triaxial

CYCLE_S = 10.0  # one touch cycle ...
REST_S = 3.0  # ... starts with this long at rest
PEAK_COUNTS = 2600.0  # counts above rest under the blob's centre at full press
BLOB_SIGMA = 0.85  # blob radius, in grid cells
NOISE_COUNTS = 2.5
UNUSED_REST = 1000.0  # channels no record reads: a plausible idle reading


class TouchModel:
    def __init__(self, layout, seed=None, touch=True):
        self.layout = layout
        self.touch = touch
        rng = random.Random(seed)
        self._noise = random.Random(rng.random())
        rest = [UNUSED_REST] * layout.channel_count
        for cell in layout.cells:
            if isinstance(cell, Taxel):
                rest[cell.channel] = cell.rest
            else:
                for channel, value in zip(cell.channels, cell.rest):
                    if channel is not None:
                        rest[channel] = value
        # Where this sensor rests today, and how it wanders: amplitude, period, phase.
        self._rest = [value + rng.uniform(25.0, 45.0) * rng.choice((-1, 1)) for value in rest]
        self._drift = [(rng.uniform(10.0, 25.0), rng.uniform(60.0, 180.0), rng.uniform(0, 2 * math.pi)) for _ in rest]
        self._path = (rng.uniform(5.0, 8.0), rng.uniform(3.5, 5.5), rng.uniform(0, 2 * math.pi))

    def pressure(self, t):
        """Counts at the blob's centre: zero at rest, a smooth press and lift otherwise."""
        if not self.touch:
            return 0.0
        phase = t % CYCLE_S
        if phase < REST_S:
            return 0.0
        return PEAK_COUNTS * math.sin(math.pi * (phase - REST_S) / (CYCLE_S - REST_S)) ** 2

    def centre(self, t):
        """The blob's position (row, column) and velocity (cells/s) on the grid."""
        px, py, phase = self._path
        rows, cols = self.layout.rows, self.layout.columns
        half_r, half_c = (rows - 1) / 2, (cols - 1) / 2
        wx, wy = 2 * math.pi / px, 2 * math.pi / py
        row = half_r * (1 + 0.9 * math.sin(wy * t + phase))
        col = half_c * (1 + 0.9 * math.sin(wx * t))
        return row, col, half_r * 0.9 * wy * math.cos(wy * t + phase), half_c * 0.9 * wx * math.cos(wx * t)

    def sample(self, t):
        values = [
            rest + amp * math.sin(2 * math.pi * t / period + phase) + self._noise.gauss(0, NOISE_COUNTS)
            for rest, (amp, period, phase) in zip(self._rest, self._drift)
        ]
        press = self.pressure(t)
        if press > 0:
            row, col, v_row, v_col = self.centre(t)
            speed = math.hypot(v_row, v_col) or 1.0
            for index, cell in enumerate(self.layout.cells):
                r, c = self.layout.position(index)
                load = press * math.exp(-((r - row) ** 2 + (c - col) ** 2) / (2 * BLOB_SIGMA**2))
                if isinstance(cell, Taxel):
                    values[cell.channel] += load
                elif isinstance(cell, Triaxial):
                    self._add_triaxial(values, cell, load / 4, v_col / speed, -v_row / speed)
        return values

    @staticmethod
    def _add_triaxial(values, cell, normal, dir_x, dir_y):
        # x = (a3 + a2) - a1 - a0 and y = (a3 + a1) - a2 - a0 on the host: shear
        # s moves elements 2, 3 up and 0, 1 down for x, and 1, 3 against 0, 2 for y.
        # Shear stays below the normal load so that no element goes under its rest.
        sx, sy = 0.35 * normal * dir_x, 0.35 * normal * dir_y
        for slot, (kx, ky) in enumerate(((-1, -1), (-1, 1), (1, -1), (1, 1))):
            channel = cell.channels[slot]
            if channel is not None:
                values[channel] += normal + kx * sx + ky * sy
