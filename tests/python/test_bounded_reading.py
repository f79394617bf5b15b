"""Readers of shared files cap what a file's own numbers make them inflate or allocate:
gzip movies, integration folders, start states, demonstrations files and ROM archives are
refused past their caps with an error naming the file, before the memory is taken."""

from __future__ import annotations

import gzip
import io
import json
import zipfile
import zlib

import numpy as np
import pytest

from test_integrations import folder

pytest.importorskip("gymnasium")
from velkora_gym import integration, movie  # noqa: E402
from velkora_gym.envs import (
    DEMO_ROM,  # noqa: E402
    demonstrations,  # noqa: E402
)
from velkora_gym.integration import roms  # noqa: E402
from velkora_gym.movie import Movie, MovieError  # noqa: E402


def gzip_of_zeros(size: int) -> bytes:
    """A gzip member of `size` zero bytes, made a MiB at a time."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    chunk = bytes(1 << 20)
    parts = [packer.compress(chunk) for _ in range(size >> 20)]
    return b"".join(parts) + packer.compress(bytes(size & ((1 << 20) - 1))) + packer.flush()


def test_a_gzip_bomb_movie_is_refused(tmp_path):
    bomb = tmp_path / "bomb.vmv.gz"
    bomb.write_bytes(gzip_of_zeros(movie.MAX_MOVIE_BYTES + (1 << 20)))
    assert bomb.stat().st_size < movie.MAX_MOVIE_BYTES // 500
    with pytest.raises(MovieError, match=f"{bomb}: inflates to more than {movie.MAX_MOVIE_BYTES} bytes"):
        Movie.load(bomb)
    # The cap counts every member of the file, not each.
    half = gzip_of_zeros(movie.MAX_MOVIE_BYTES // 2 + 1)
    (tmp_path / "two.fm2.gz").write_bytes(half + half)
    with pytest.raises(MovieError, match="inflates to more than"):
        Movie.load(tmp_path / "two.fm2.gz")


def test_gzip_movies_of_several_members_and_cut_ones(tmp_path):
    saved = Movie(DEMO_ROM)
    saved.extend([1, 2, 3, 4])
    text = saved.to_text().encode()
    (tmp_path / "two.vmv.gz").write_bytes(gzip.compress(text[:50]) + gzip.compress(text[50:]))
    assert Movie.load(tmp_path / "two.vmv.gz") == saved
    (tmp_path / "cut.vmv.gz").write_bytes(gzip.compress(text)[:-12])
    with pytest.raises(MovieError, match="cut.vmv.gz: not a gzip file"):
        Movie.load(tmp_path / "cut.vmv.gz")


def test_movie_files_past_the_cap_are_not_read_whole(tmp_path):
    big = tmp_path / "big.vmv"
    with open(big, "wb") as file:
        file.truncate(movie.MAX_MOVIE_BYTES + 1)  # sparse: no disk taken
    with pytest.raises(MovieError, match="big.vmv: larger than"):
        Movie.load(big)


@pytest.mark.parametrize(
    "line, words",
    [
        ("frames ²", "'²' is not a frame count"),
        ("frames " + "9" * 5000, "'9999.*' is not a frame count"),
        ("velkora-movie ³", "'³' is not a format version"),
    ],
)
def test_counts_in_other_digits_are_refused_naming_the_file(tmp_path, line, words):
    key = line.split(" ")[0]
    text = Movie(DEMO_ROM).to_text().splitlines()
    text = [line if row.startswith(key + " ") else row for row in text]
    (tmp_path / "odd.vmv").write_text("\n".join(text) + "\n")
    with pytest.raises(MovieError, match=f"odd.vmv line [0-9]+: {words}"):
        Movie.load(tmp_path / "odd.vmv")


# ------------------------------------------------------------------ integration folders


@pytest.mark.parametrize(
    "files, words",
    [
        ({"data.json": "[" * 100_000}, "data.json: not valid JSON"),
        ({"data.json": '{"info": {"x": {"address": 1' + "0" * 5000 + ', "type": "|u1"}}}'}, "data.json: not valid"),
        ({"data.json": b'{"info": {"\xff": 1}}'}, "data.json: not UTF-8 text"),
        ({"data.json": " " * (integration.MAX_JSON_BYTES + 1)}, "data.json: larger than"),
        ({"data.json": '{"info": {"x": {"address": 1, "type": ">d99999"}}}'}, "takes 1 to 255"),
        ({"rom.sha": "a" * (integration.MAX_SHA_BYTES + 1)}, "rom.sha: larger than"),
        ({"s.lua": "--" + "x" * integration.MAX_SCRIPT_BYTES}, "s.lua: larger than"),
        ({"s.lua": b"function r() return 1 end --\xff"}, "s.lua: not UTF-8 text"),
    ],
)
def test_folder_files_past_their_caps_or_out_of_shape_are_refused(tmp_path, files, words):
    scenario = {"reward": {"script": "lua:r"}, "scripts": ["s.lua"]}
    game = folder(tmp_path, scenario=scenario, files={"s.lua": "function r() return 1 end", **files})
    with pytest.raises(integration.IntegrationError, match=words) as error:
        integration.load(game)
    assert str(game) in str(error.value)


def test_nodes_nest_no_deeper_than_the_cap(tmp_path):
    node: dict = {"variables": {"nmi": {"op": "zero"}}}
    for _ in range(integration.MAX_NODE_DEPTH + 2):
        node = {"nodes": {"n": node}}
    game = folder(tmp_path, scenario={"done": node})
    with pytest.raises(integration.IntegrationError, match="nodes nest more than"):
        integration.load(game)
    shallow: dict = {"variables": {"nmi": {"op": "zero"}}}
    for _ in range(integration.MAX_NODE_DEPTH - 1):
        shallow = {"nodes": {"n": shallow}}
    (game / "scenario.json").write_text(json.dumps({"done": shallow}))
    assert integration.load(game).nodes


def test_a_start_state_past_the_cap_is_refused(tmp_path):
    game = folder(tmp_path, files={"big.state": b""})
    with open(game / "big.state", "r+b") as file:
        file.truncate(integration.MAX_STATE_BYTES + 1)
    with pytest.raises(integration.IntegrationError, match="big.state: larger than"):
        integration.load(game).state("big")


def test_a_rom_archive_member_past_the_cap_is_skipped(tmp_path, monkeypatch, data_home):
    archive = tmp_path / "roms.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as zipped:
        zipped.writestr("big.nes", bytes(1 << 20))
        zipped.writestr("demo.nes", DEMO_ROM.read_bytes())
    monkeypatch.setattr(roms, "MAX_IMAGE_BYTES", (1 << 20) - 1)
    said: list[str] = []
    roms.import_roms([archive], said.append)
    assert any("big.nes: inflates to 1048576 bytes" in line for line in said)


# ------------------------------------------------------------------ demonstrations files


def arrays(steps=(3, 2)) -> dict[str, np.ndarray]:
    total = sum(steps)
    starts = np.zeros(total, bool)
    starts[np.cumsum((0, *steps[:-1]))] = True
    return {
        "observations": np.arange(total * 4, dtype=np.uint8).reshape(total, 2, 2),
        "actions": np.arange(total, dtype=np.int64),
        "masks": np.arange(total, dtype=np.uint8),
        "rewards": np.linspace(0, 1, total),
        "terminated": np.zeros(total, bool),
        "truncated": np.zeros(total, bool),
        "episode_starts": starts,
        "final_observations": np.zeros((len(steps), 2, 2), np.uint8),
        "episode_lengths": np.array(steps, np.int64),
        "movies": np.array([f"m{i}.vmv" for i in range(len(steps))]),
    }


def test_a_demonstrations_file_reads_back(tmp_path):
    for save in (np.savez, np.savez_compressed):
        save(tmp_path / "demos.npz", **arrays())
        loaded = demonstrations.load(tmp_path / "demos.npz")
        assert all(np.array_equal(loaded[k], v) for k, v in arrays().items())


def npz(members: dict[str, bytes]) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as zipped:
        for name, data in members.items():
            zipped.writestr(name, data)
    return out.getvalue()


def npy(array: np.ndarray, header_shape: tuple | None = None) -> bytes:
    out = io.BytesIO()
    np.lib.format.write_array(out, array, allow_pickle=True)
    data = out.getvalue()
    if header_shape is not None:
        data = data.replace(repr(array.shape).encode(), repr(header_shape).encode().ljust(len(repr(array.shape))))
    return data


@pytest.mark.parametrize(
    "change, words",
    [
        (lambda m: m.pop("rewards.npy"), "missing rewards"),
        (lambda m: m.update({"extra.npy": m["masks.npy"]}), "unknown extra"),
        (lambda m: m.update({"masks.npy": npy(np.arange(5, dtype=np.uint8), (10**12,))}), "header announces"),
        (lambda m: m.update({"movies.npy": npy(np.array([1, "x"], object))}), "holds object"),
        (lambda m: m.update({"rewards.npy": npy(np.zeros(4))}), "has shape .* not a row for each of the 4 steps"),
        (lambda m: m.update({"episode_lengths.npy": npy(np.array([4, 1]))}), "episode_starts"),
        (lambda m: m.update({"episode_lengths.npy": npy(np.array([4, 2]))}), "do not add up"),
        (lambda m: m.update({"final_observations.npy": npy(np.zeros((2, 3), np.uint8))}), "final observations"),
        (lambda m: m.update({"actions.npy": b"\x93NUMPY\x01\x00" + b"\xff" * 40}), "not a NumPy array"),
    ],
)
def test_demonstrations_files_out_of_shape_are_refused_before_allocating(tmp_path, change, words):
    members = {f"{name}.npy": npy(array) for name, array in arrays().items()}
    change(members)
    path = tmp_path / "demos.npz"
    path.write_bytes(npz(members))
    with pytest.raises(ValueError, match=f"{path}: .*{words}"):
        demonstrations.load(path)


def test_demonstrations_past_the_byte_cap_or_not_zip_are_refused(tmp_path):
    np.savez(tmp_path / "demos.npz", **arrays())
    with pytest.raises(ValueError, match="more than the 100 allowed|100 allowed"):
        demonstrations.load(tmp_path / "demos.npz", max_bytes=100)
    (tmp_path / "text.npz").write_text("not a zip")
    with pytest.raises(ValueError, match="text.npz: not a demonstrations file"):
        demonstrations.load(tmp_path / "text.npz")
