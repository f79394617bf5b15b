"""The homebrew demos run for ten seconds and leave a screenshot to look at."""
import numpy as np
import pytest
from PIL import Image

import velkora
from nesrom import ARTIFACTS, rom

# Distinct colours the 600th picture must at least show. years-behind checks
# the console's region and, on this NTSC machine, only prints a two-colour
# notice; high-hopes stays on a black palette this early without input.
DEMOS = {
    "nes15": 4,
    "spritecans": 4,
    "240pee": 4,
    "tanespot": 3,
    "bladebuster": 4,
    "years-behind": 2,
    "high-hopes": 1,
}


@pytest.mark.parametrize("name", DEMOS)
def test_demo_runs_600_frames_and_draws(name):
    nes = velkora.NES(str(rom("demos", f"{name}.nes")))
    frames = []
    nes.perFrame(lambda: frames.append(1))
    for _ in range(600):
        nes.runFrame()
    assert nes.frameCount() == 600 and len(frames) == 600
    picture = np.array(nes.getImg())
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    Image.fromarray(picture).save(ARTIFACTS / f"demo-{name}.png")
    lookup = np.array(nes.colorLookup())
    distinct = np.unique(picture.reshape(-1, 3), axis=0)
    assert len(distinct) >= DEMOS[name], f"{name}: {len(distinct)} colours"
    # Every pixel is one of the 64 console colours.
    assert all((lookup == colour).all(axis=1).any() for colour in distinct)
