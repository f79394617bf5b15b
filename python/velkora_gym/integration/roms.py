"""ROMs of integration folders, found by SHA-1.

A folder's ROM is ``rom.nes`` in the folder, or one imported with
``python -m velkora_gym.import ROM_DIR...``: the import hashes every ``.nes`` file it finds
(inside zip files too) and copies each one whose SHA-1 matches a folder's ``rom.sha`` to
``$XDG_DATA_HOME/velkora/roms/SHA1.nes`` (``~/.local/share/velkora/roms`` when
``XDG_DATA_HOME`` is unset or not an absolute path).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys
import zipfile
from collections.abc import Callable, Iterator
from pathlib import Path

from velkora_gym.files import PACKAGE_ROMS, imported_folder, write_file
from velkora_gym.integration import folders as integrations

HEADER = 16


def hashes(image: bytes) -> tuple[str, str]:
    """SHA-1 of the whole file and of the image after its 16-byte header."""
    return hashlib.sha1(image).hexdigest(), hashlib.sha1(image[HEADER:]).hexdigest()


def matches(image: bytes, shas: tuple[str, ...]) -> bool:
    return bool(set(hashes(image)) & set(shas))


def find_rom(folder: Path, shas: tuple[str, ...]) -> Path | None:
    """The ROM of an integration folder: its rom.nes, an imported ROM of its hash, or (for
    the games that come with velkora) the package's own."""
    candidates = [folder / "rom.nes"] + [imported_folder() / f"{sha}.nes" for sha in shas]
    candidates.append(PACKAGE_ROMS / f"{folder.name}.nes")
    for path in candidates:
        if path.is_file():
            return path
    return None


def missing_rom(folder: Path, shas: tuple[str, ...]) -> str:
    how = (
        f"run python -m velkora_gym.import ROM_DIR (it looks for SHA-1 {' or '.join(shas)})"
        if shas
        else "give rom=, or add rom.sha and import the ROM with python -m velkora_gym.import ROM_DIR"
    )
    return f"{folder}: no ROM found (no rom.nes in the folder, none imported): {how}"


# ------------------------------------------------------------------ import

#: The largest image an archive member may inflate to: the largest cartridges are a few MiB.
MAX_IMAGE_BYTES = 64 << 20


def _images(paths: list[Path], problems: list[str]) -> Iterator[tuple[str, bytes]]:
    """(where, bytes) of every .nes file under the paths, inside zip files too."""
    for path in paths:
        if not path.exists():
            problems.append(f"{path}: no such file or folder")
            continue
        files = sorted(p for p in path.rglob("*") if p.is_file()) if path.is_dir() else [path]
        for file in files:
            suffix = file.suffix.lower()
            try:
                if suffix == ".nes":
                    yield str(file), file.read_bytes()
                elif suffix == ".zip":
                    with zipfile.ZipFile(file) as archive:
                        for member in archive.infolist():
                            if not member.filename.lower().endswith(".nes"):
                                continue
                            # The size a member announces is all zipfile inflates it to.
                            if member.file_size > MAX_IMAGE_BYTES:
                                problems.append(
                                    f"{file}:{member.filename}: inflates to {member.file_size} bytes, "
                                    f"more than a cartridge holds ({MAX_IMAGE_BYTES}); skipped"
                                )
                                continue
                            yield f"{file}:{member.filename}", archive.read(member)
            except (OSError, zipfile.BadZipFile, RuntimeError) as error:
                problems.append(f"{file}: cannot read it ({error})")


def import_roms(paths: list[str | os.PathLike[str]], report: Callable[[str], None] = print) -> dict[str, str]:
    """Copies the ROMs under `paths` whose SHA-1 matches a game's rom.sha on the search path
    into the imported ROMs' folder; returns {game: where the ROM was found}."""
    wanted: dict[str, list[tuple[str, str]]] = {}  # sha: [(game, the sha as rom.sha has it)]
    games = integrations.games()
    for game, folder in games.items():
        if (folder / "rom.sha").is_file():
            try:
                shas = integrations.read_sha(folder / "rom.sha")
            except integrations.IntegrationError as error:
                report(f"skipping {game}: {error}")
                continue
            for sha in shas:
                wanted.setdefault(sha, []).append((game, sha))
    problems: list[str] = []
    found: dict[str, str] = {}
    seen = unmatched = 0
    for where, image in _images([Path(p) for p in paths], problems):
        seen += 1
        matched = False
        for digest in dict.fromkeys(hashes(image)):
            for game, sha in wanted.get(digest, []):
                imported_folder().mkdir(parents=True, exist_ok=True)
                write_file(imported_folder() / f"{sha}.nes", image)
                if game not in found:
                    report(f"{game}: {where}")
                found[game] = where
                matched = True
        unmatched += not matched
    for problem in problems:
        report(problem)
    report(
        f"{len(found)} game{'s' if len(found) != 1 else ''} matched among {seen} ROM{'s' if seen != 1 else ''}; "
        f"imported into {imported_folder()}"
    )
    if unmatched:
        report(_looked(unmatched, len(games), len({game for pairs in wanted.values() for game, _ in pairs})))
    return found


def _looked(unmatched: int, known: int, hashed: int) -> str:
    """How many ROMs matched no game, and where the games came from."""
    places = []
    for folder, origin in integrations.search_folders():
        state = "" if folder.is_dir() else ", missing"
        places.append(f"{folder} ({origin}{state})")
    return (
        f"{unmatched} ROM{'s' if unmatched != 1 else ''} matched no game: {known} game{'s' if known != 1 else ''} "
        f"found ({hashed} with a rom.sha) in {'; '.join(places)}. A folder elsewhere is searched once it "
        f"is in {integrations.user_folder()} or on {integrations.ENV_PATH}"
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m velkora_gym.import",
        description="Find the ROMs of the integrations on the search path by SHA-1 and import them.",
    )
    parser.add_argument(
        "paths", nargs="+", metavar="ROM_DIR", help="folders (searched recursively), .nes or .zip files"
    )
    args = parser.parse_args(argv)
    missing = [path for path in args.paths if not Path(path).exists()]
    if missing:
        parser.error(f"{missing[0]}: no such file or folder")
    import_roms(args.paths)
    return 0


if __name__ == "__main__":
    sys.exit(main())
