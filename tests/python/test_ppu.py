"""The picture: cartridges built here draw known tiles and sprites, and the
pictures and status bits they produce are checked through the Python API."""

from __future__ import annotations

import numpy as np
import pytest

import nesrom
import velkora
from boardrom import BACKGROUND, SPRITES
from nesrom import build_rom, nrom_program, write_rom

BACKDROP = 0x0F
# Background palettes 0-3 and sprite palettes 0-3, entry 0 of each the backdrop; no two
# entries share a colour.
PALETTE = BACKGROUND + SPRITES

# Background tile 1: every row gives pixel values 0 1 2 3 0 1 2 3.
BG_STRIPES = (bytes([0x55] * 8), bytes([0x33] * 8))
# A solid tile and one with only its leftmost column set.
SOLID = (bytes([0xFF] * 8), bytes(8))
LEFT_EDGE = (bytes([0x80] * 8), bytes(8))
# Sprite tile 1: an arrow pointing right, colour 3 on its tip column.
ARROW = (
    bytes([0x80, 0xC0, 0xE0, 0xFE, 0xFE, 0xE0, 0xC0, 0x80]),
    bytes([0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00]),
)


def chr_image(background: dict[int, tuple[bytes, bytes]], sprites: dict[int, tuple[bytes, bytes]]) -> bytes:
    data = bytearray(8192)
    for table, tiles in ((0, background), (1, sprites)):
        for tile, (low, high) in tiles.items():
            base = table * 4096 + tile * 16
            data[base : base + 8] = low
            data[base + 8 : base + 16] = high
    return bytes(data)


def tile_pixels(tile: tuple[bytes, bytes]) -> np.ndarray:
    """8 x 8 pixel values (0-3) of a tile."""
    low = np.unpackbits(np.frombuffer(tile[0], np.uint8)).reshape(8, 8)
    high = np.unpackbits(np.frombuffer(tile[1], np.uint8)).reshape(8, 8)
    return low + 2 * high


def byte_rows(data: bytes) -> str:
    return "\n".join("    .byte " + ", ".join(f"${b:02x}" for b in data[i : i + 16]) for i in range(0, len(data), 16))


def nametable_code(nametables: dict[int, bytes]) -> tuple[str, str]:
    """Code that copies each block to its PPU address, and the blocks' data."""
    code, data = [], []
    for k, (address, content) in enumerate(sorted(nametables.items())):
        code.append(f"    lda #${address >> 8:02x}\n    sta $2006\n    lda #${address & 0xFF:02x}\n    sta $2006")
        for offset in range(0, len(content), 256):
            label = f"nt{k}_{offset // 256}"
            chunk = content[offset : offset + 256]
            compare = f"    cpx #{len(chunk)}\n" if len(chunk) < 256 else ""
            code.append(
                f"    ldx #0\n{label}:\n    lda {label}_data,x\n    sta $2007\n    inx\n{compare}    bne {label}"
            )
            data.append(f"{label}_data:\n{byte_rows(chunk)}")
    return "\n".join(code), "\n".join(data)


def scene_program(*, nametables: dict[int, bytes] | None = None, sprites=(), mask=0x1E, scroll_x=0) -> str:
    """A program that loads palette, nametable blocks and OAM during vertical
    blank, sets the scroll, turns rendering on at the next vertical blank and
    then ORs every PPUSTATUS value it reads into $10."""
    oam = bytearray([0xF0] * 256)  # no byte of a hidden sprite is in range of a line
    for n, (y, tile, attr, x) in enumerate(sprites):
        oam[4 * n : 4 * n + 4] = bytes([y, tile, attr, x])
    copy_code, copy_data = nametable_code(nametables or {})
    body = f"""    sei
    cld
    ldx #$ff
    txs
    lda #0
    sta $2000
    sta $2001
vblank1:
    bit $2002
    bpl vblank1
vblank2:
    bit $2002
    bpl vblank2
    lda #$3f
    sta $2006
    lda #0
    sta $2006
    ldx #0
palette_loop:
    lda palette,x
    sta $2007
    inx
    cpx #32
    bne palette_loop
{copy_code}
    lda #0
    sta $2003
    ldx #0
oam_loop:
    lda sprites,x
    sta $2004
    inx
    bne oam_loop
    lda $2002
    lda #{scroll_x}
    sta $2005
    lda #0
    sta $2005
    lda #$08            ; sprites from pattern table 1
    sta $2000
    lda #0
    sta $10
vblank3:
    bit $2002
    bpl vblank3
    lda #{mask}
    sta $2001
watch:
    lda $2002
    ora $10
    sta $10
    jmp watch
palette:
{byte_rows(bytes(PALETTE))}
sprites:
{byte_rows(bytes(oam))}
{copy_data}
"""
    return nrom_program(body)


def run_scene(tmp_path, chr_data: bytes, **scene) -> tuple[velkora.NES, np.ndarray]:
    # The first frame with rendering on draws line 0 from the horizontal bits
    # the PPUDATA copies left in v, so look at a later one.
    image = build_rom(scene_program(**scene), chr_data=chr_data)
    nes = nesrom.run_frames(velkora.NES(write_rom(tmp_path, image)), 8)
    return nes, np.array(nes.getImg())


def colours(nes: velkora.NES, values: np.ndarray) -> np.ndarray:
    """The picture that shows these palette values."""
    return np.array(nes.colorLookup())[values]


def status_seen(nes: velkora.NES) -> int:
    return int(nes.cpuMem()[0x10])


def nametable(tiles: dict[tuple[int, int], int], attributes: bytes = bytes(64)) -> bytes:
    table = bytearray(960) + attributes
    for (row, column), tile in tiles.items():
        table[32 * row + column] = tile
    return bytes(table)


def test_background_tile_and_sprite_draw_their_palette_colours(tmp_path):
    # Tile 1 at row 10, column 14 takes palette 2 from the bottom-right
    # quadrant of attribute byte 19; the arrow sprite takes sprite palette 1.
    attributes = bytearray(64)
    attributes[19] = 0b10_00_00_00
    chr_data = chr_image({1: BG_STRIPES}, {1: ARROW})
    nes, img = run_scene(
        tmp_path,
        chr_data,
        nametables={0x2000: nametable({(10, 14): 1}, bytes(attributes))},
        sprites=[(49, 1, 0x01, 40)],
    )

    def palette_values(pixels: np.ndarray, base: int) -> np.ndarray:
        return np.where(pixels == 0, BACKDROP, np.array(PALETTE)[base + pixels])

    expected = np.full((240, 256), BACKDROP)
    expected[80:88, 112:120] = palette_values(tile_pixels(BG_STRIPES), 8)
    expected[50:58, 40:48] = palette_values(tile_pixels(ARROW), 16 + 4)
    assert len(np.unique(expected)) == 6
    assert (img == colours(nes, expected)).all()


@pytest.mark.parametrize(
    "mask, background_tile, x, hit",
    [
        pytest.param(0x1E, 1, 100, True, id="over opaque background"),
        pytest.param(0x1E, 0, 100, False, id="over transparent background"),
        pytest.param(0x10, 1, 100, False, id="background off"),
        pytest.param(0x0A, 1, 100, False, id="sprites off"),
        pytest.param(0x18, 1, 0, True, id="clipped left column"),
    ],
)
def test_sprite_zero_hit(tmp_path, mask, background_tile, x, hit):
    # Sprite 0 is a one-pixel-wide line over background rows 8-11.
    chr_data = chr_image({1: SOLID}, {1: LEFT_EDGE})
    band = nametable({(r, c): background_tile for r in range(8, 12) for c in range(32)})
    nes, img = run_scene(tmp_path, chr_data, mask=mask, nametables={0x2000: band}, sprites=[(70, 1, 0, x)])
    assert bool(status_seen(nes) & 0x40) == hit
    if x == 0:
        # The hit counts although the clipped column shows the backdrop.
        assert (img[71:79, 0:8] == colours(nes, np.array(BACKDROP))).all()


@pytest.mark.parametrize(
    "mask, sprite_shows, background_shows",
    [(0x1E, True, True), (0x1A, False, True), (0x1C, True, False), (0x18, False, False)],
)
def test_left_column_clipping(tmp_path, mask, sprite_shows, background_shows):
    chr_data = chr_image({1: SOLID}, {1: SOLID})
    nes, img = run_scene(
        tmp_path, chr_data, mask=mask, nametables={0x2000: bytes([1] * 960) + bytes(64)}, sprites=[(49, 1, 0, 0)]
    )
    lookup = nes.colorLookup()
    bg, sprite, backdrop = lookup[PALETTE[1]], lookup[PALETTE[17]], lookup[BACKDROP]
    assert (img[52, 0:8] == (sprite if sprite_shows else backdrop)).all()
    assert (img[20, 0:8] == (bg if background_shows else backdrop)).all()
    assert (img[52, 8:16] == bg).all() and (img[20, 8:] == bg).all()


@pytest.mark.parametrize("scroll_x", [1, 3, 7, 11])
def test_horizontal_scroll_shifts_the_picture(tmp_path, scroll_x):
    # A nametable whose columns all differ, so any shift shows.
    tiles = {(r, c): 1 + (c + r) % 3 for r in range(30) for c in range(32)}
    chr_data = chr_image({1: BG_STRIPES, 2: SOLID, 3: LEFT_EDGE}, {})
    table = nametable(tiles)
    _, still = run_scene(tmp_path, chr_data, mask=0x0A, nametables={0x2000: table, 0x2400: table})
    _, moved = run_scene(tmp_path, chr_data, mask=0x0A, nametables={0x2000: table, 0x2400: table}, scroll_x=scroll_x)
    assert (moved[:, : 256 - scroll_x] == still[:, scroll_x:]).all()
    assert not (moved == still).all()


def test_first_picture_shows_palette_value_0_and_one_callback_follows_each_frame(tmp_path):
    # Nothing is ever written: every pixel is palette value 0 from the start.
    nes = velkora.NES(write_rom(tmp_path, build_rom(nrom_program("forever:\n    jmp forever"))))
    calls = []
    nes.perFrame(lambda: calls.append(nes.frameCount()))
    nes.runFrame()
    assert (nes.getImg() == nes.colorLookup()[0]).all()
    for expected in range(2, 6):
        assert nes.frameCount() == expected - 1
        nes.runFrame()
    # Each callback ran right after its frame's last dot.
    assert calls == [1, 2, 3, 4, 5] and nes.frameCount() == 5


PATTERN_WRITER = nrom_program("""
    ldx #$ff
    txs
    lda #$00
    sta $2006
    sta $2006
    ldx #0
write:
    lda #$a5
    sta $2007
    inx
    cpx #16
    bne write
    lda #$20
    sta $2006
    lda #$00
    sta $2006
    lda #$5a
    sta $2007
    lda #$00
    sta $2006
    sta $2006
    lda $2007
    ldx #0
read:
    lda $2007
    sta $0300,x
    inx
    cpx #16
    bne read
forever:
    jmp forever
""")


@pytest.mark.parametrize("mapper, chr_rom", [(0, True), (0, False), (2, False), (3, True)])
def test_pattern_writes_reach_chr_ram_only(tmp_path, mapper, chr_rom):
    chr_data = bytes((3 * i + 1) & 0xFF for i in range(8192)) if chr_rom else b""
    nes = velkora.NES(write_rom(tmp_path, build_rom(PATTERN_WRITER, chr_data=chr_data, mapper=mapper)))
    nes.runFrame()
    expected = chr_data[:16] if chr_rom else b"\xa5" * 16
    assert bytes(nes.cpuMem()[0x300:0x310]) == expected
    assert bytes(nes.ppuMem()[0:16]) == expected
    assert nes.ppuMem()[0x2000] == 0x5A
    # The memory view still patches graphics, ROM or not.
    nes.ppuMem()[0x20] = 0x77
    nes.runFrame()
    assert nes.ppuMem()[0x20] == 0x77


def palette_values(nes: velkora.NES, picture: np.ndarray) -> np.ndarray:
    """The palette value of each pixel, among the scene's palette (no two share a colour)."""
    table = np.array(nes.colorLookup()).astype(np.int64)
    key = lambda rgb: (rgb[..., 0] << 16) | (rgb[..., 1] << 8) | rgb[..., 2]  # noqa: E731
    lookup = {int(key(table[v])): v for v in set(PALETTE)}
    keys = key(picture.astype(np.int64))
    assert set(np.unique(keys).tolist()) <= set(lookup), "a colour outside the scene's palette"
    return np.vectorize(lookup.get)(keys)


def test_greyscale_keeps_each_palette_value_s_brightness_row(tmp_path):
    tiles = {(r, c): 1 for r in range(30) for c in range(32)}
    chr_data = chr_image({1: BG_STRIPES}, {1: ARROW})
    scene = {"nametables": {0x2000: nametable(tiles, bytes(range(64)))}, "sprites": [(60, 1, 1, 100)]}
    nes, colour = run_scene(tmp_path, chr_data, mask=0x1E, **scene)
    values = palette_values(nes, colour)
    grey_nes, grey = run_scene(tmp_path, chr_data, mask=0x1F, **scene)
    assert len(np.unique(values)) > 4
    assert np.array_equal(grey, colours(grey_nes, values & 0x30))


GREY_FROM_MID_FRAME = nrom_program("""
    ldx #$ff
    txs
    lda #$3f
    sta $2006
    lda #0
    sta $2006
    ldx #0
palette:
    lda colours,x
    sta $2007
    inx
    cpx #4
    bne palette
frame:
    bit $2002
    bpl frame
    lda #$0a            ; background on, colour
    sta $2001
    ldx #16
outer:
    ldy #199
inner:
    dey
    bne inner
    dex
    bne outer
    lda #$0b            ; greyscale from about line 120
    sta $2001
    jmp frame
colours:
    .byte $16, $16, $16, $16
""")


def test_greyscale_takes_effect_from_the_dot_it_is_set():
    nes = nesrom.run_frames(velkora.NES(nesrom.ImageFile(build_rom(GREY_FROM_MID_FRAME), "grey.nes")), 5)
    picture = np.array(nes.getImg())
    table = np.array(nes.colorLookup())
    red, grey = table[0x16], table[0x16 & 0x30]
    is_red, is_grey = (picture == red).all(axis=2), (picture == grey).all(axis=2)
    assert (is_red | is_grey).all()
    first_grey = int(np.argmax(is_grey.all(axis=1)))
    assert 90 < first_grey < 150 and is_grey[first_grey:].all()
    # The row the write lands in changes part of the way along, at one pixel.
    split = first_grey - 1
    assert is_red[:split].all()
    column = int(np.argmax(is_grey[split]))
    assert 0 < column and is_red[split, :column].all() and is_grey[split, column:].all()
