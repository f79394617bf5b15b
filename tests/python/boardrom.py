"""Cartridges for the board tests: every bank filled with its own number, and a
program that runs 6502 code the test places in RAM, so the cartridge itself
performs each register write."""

from __future__ import annotations

import hashlib

import numpy as np
import pytest

import nesrom

# Zero page: $00 non-zero runs the code at $0400 (cleared when done), $02 counts
# commands, $20 the joypad, $21 NMIs. Each NMI calls $0200; reads go to $0300.
PROGRAM = f"""
.org $FF00
{nesrom.RESET}
    lda #$00
    sta $2000
    sta $2001
    sta $00
    lda #$60
    sta $0200
idle:
    lda $00
    beq idle
    jsr $0400
    lda #$00
    sta $00
    inc $02
    jmp idle
nmi:
    pha
    txa
    pha
    lda #$01
    sta $4016
    lda #$00
    sta $4016
    ldx #$08
pad:
    lda $4016
    lsr
    rol $20
    dex
    bne pad
    inc $21
    jsr $0200
    pla
    tax
    pla
irq:
    rti
.advance $FFFA, $FF
.word nmi, reset, irq
"""
CODE = nesrom.assemble(PROGRAM)
assert len(CODE) == 256
COMMAND, RESULTS, HOOK = 0x0400, 0x0300, 0x0200
COMMAND_SIZE = 0x2FF  # $0700 stays free for OAM DMA


def header(
    mapper: int, prg_16k: int, chr_8k: int, *, vertical: bool = False, submapper: int | None = None, byte8: int = 0
) -> bytes:
    """iNES, or NES 2.0 when a submapper is given; byte8 adds to byte 8."""
    h = bytearray(nesrom.board_header(mapper, prg_16k, chr_8k, vertical=vertical, submapper=submapper))
    h[8] |= byte8
    return bytes(h)


def image(mapper: int, prg_16k: int, chr_8k: int = 0, chr_data: bytes | None = None, **kw) -> bytes:
    """8 KiB PRG bank k holds k + 1 (code in its last 256 bytes), 1 KiB CHR bank j holds j + 1."""
    prg = b"".join(bytes([k + 1]) * 0x1F00 + CODE for k in range(prg_16k * 2))
    if chr_data is None:
        chr_data = b"".join(bytes([j + 1]) * 1024 for j in range(chr_8k * 8))
    return header(mapper, prg_16k, len(chr_data) // 8192, **kw) + prg + chr_data


stores = nesrom.stores  # source that stores each (address, value)


def last_bank_image(mapper: int, code: bytes, submapper: int | None = None) -> bytes:
    """16 KiB of PRG whose last 8 KiB is `code` (the bank the boards fix at
    $E000), and 8 KiB of blank CHR."""
    return header(mapper, 1, 1, submapper=submapper) + bytes(8192) + code + bytes(8192)


# Source that sets the backdrop black.
BACKDROP = f"""{nesrom.TO_PALETTE}
    lda #$0F
    sta $2007"""
# Source that turns the NMI on and idles, the handler doing the frame's work.
IDLE_ON_NMI = """    lda #$80
    sta $2000
    cli
forever:
    jmp forever"""
# The end of an NMI handler that turns the picture on and keeps the IRQs
# counted at $10 in the last frame at $11; $12 counts the frames.
FRAME_END = """    lda #$18
    sta $2001
    lda $10
    sta $11
    lda #$00
    sta $10
    inc $12
    pla
    rti"""


def fill_nametable(tile: int) -> str:
    """Source that fills the nametable at $2000 (attributes too) with `tile`."""
    return f"""    lda #$20
    sta $2006
    lda #$00
    sta $2006
    lda #${tile:02X}
    ldy #$04
fill:
    ldx #$00
fill_row:
    sta $2007
    dex
    bne fill_row
    dey
    bne fill"""


def irq_counter(ack: str) -> str:
    """An IRQ handler that counts in $10/$11 and runs `ack`, an NMI handler that
    returns, and the vectors."""
    return f"""irq_handler:
    inc $10
    bne counted
    inc $11
counted:
{ack}
    rti
nmi_handler:
    rti
{nesrom.VECTORS}"""


class Script:
    """6502 code: absolute stores (no dummy reads) and PPUDATA transfers."""

    def __init__(self):
        self.ops: list[bytes] = []
        self.reads = 0

    def w(self, *pairs):
        for address, value in pairs:
            self.ops.append(bytes([0xA9, value, 0x8D, address & 0xFF, address >> 8]))
        return self

    def at(self, address: int):
        return self.w((0x2006, address >> 8), (0x2006, address & 0xFF))

    def put(self, address: int, *values: int):
        return self.at(address).w(*((0x2007, v) for v in values))

    def fill(self, address: int, value: int, count: int):
        self.at(address)
        for _ in range(count // 256):  # lda #v; ldx #0; sta $2007; dex; bne -6
            self.ops.append(bytes([0xA9, value, 0xA2, 0x00, 0x8D, 0x07, 0x20, 0xCA, 0xD0, 0xFA]))
        return self

    def peek(self, *addresses: int):
        """CPU reads, each into the next result."""
        for address in addresses:
            slot = RESULTS + self.reads
            self.reads += 1
            self.ops.append(bytes([0xAD, address & 0xFF, address >> 8, 0x8D, slot & 0xFF, slot >> 8]))
        return self

    def ramp(self, address: int, count: int):
        """PPUDATA writes of 0, 1, 2, ... (wrapping at 256) from address on."""
        self.at(address)
        for _ in range(count // 256):  # ldx #0; stx $2007; inx; bne -6
            self.ops.append(bytes([0xA2, 0x00, 0x8E, 0x07, 0x20, 0xE8, 0xD0, 0xFA]))
        return self

    def get(self, address: int, count: int = 1):
        self.at(address).ops.append(b"\xad\x07\x20")  # the first read gives the stale buffer
        for _ in range(count):
            slot = RESULTS + self.reads
            self.reads += 1
            self.ops.append(bytes([0xAD, 0x07, 0x20, 0x8D, slot & 0xFF, slot >> 8]))
        return self


def hook(writes) -> bytes:
    """NMI code: each (address, mask) gets (NMI count EOR joypad) AND mask."""
    code = b"".join(bytes([0xA5, 0x21, 0x45, 0x20, 0x29, mask, 0x8D, a & 0xFF, a >> 8]) for a, mask in writes)
    return code + b"\x60"


class Cart:
    def __init__(self, data: bytes, name: str = "board.nes"):
        import velkora

        self.data, self.name = data, name
        self.nes = velkora.NES(nesrom.ImageFile(data, name))
        self.pad = nesrom.plug_pad(self.nes)
        self.mem = self.nes.cpuMem()
        self.vram = self.nes.ppuMem()
        for _ in range(2):  # past the reset code and the PPU's warm-up
            self.nes.runFrame()

    def run(self, script: Script) -> list[int]:
        """Has the cartridge run the script; returns what its reads got."""
        chunks = [b""]
        for op in script.ops:
            if len(chunks[-1]) + len(op) > COMMAND_SIZE:
                chunks.append(b"")
            chunks[-1] += op
        for chunk in chunks:
            code = np.frombuffer(chunk + b"\x60", np.uint8)
            self.mem[COMMAND : COMMAND + len(code)] = code
            done = int(self.mem[2])
            self.mem[0] = 1
            for _ in range(10):
                self.nes.runFrame()
                if self.mem[0] == 0:
                    break
            assert self.mem[0] == 0 and self.mem[2] == (done + 1) & 0xFF, "the cartridge did not run its command"
        return [int(b) for b in self.mem[RESULTS : RESULTS + script.reads]]

    def on_nmi(self, writes) -> None:
        """Has each NMI run hook(writes)."""
        code = hook(writes)
        self.mem[HOOK : HOOK + len(code)] = np.frombuffer(code, np.uint8)

    def windows(self) -> tuple[list, list]:
        """The 8 KiB PRG bank in each quarter of $8000-$FFFF and the 1 KiB CHR
        bank in each KiB of the pattern tables: -1 for none, None for a mix."""

        def bank(block):
            v = int(block[0])
            return v - 1 if (block == v).all() else None

        return (
            [bank(self.mem[s : s + 0x1F00]) for s in range(0x8000, 0x10000, 0x2000)],
            [bank(self.vram[s : s + 0x400]) for s in range(0, 0x2000, 0x400)],
        )


# ------------------------------------------------------------ pictures that name their banks

# 1 KiB CHR bank b, tile t: every row's low plane is b's low byte, its high
# plane t with b's bits 8-9 on top, so eight pixels of a row name both.
CHR_KIB = 256


def chr_rom(kib: int = CHR_KIB) -> bytes:
    out = bytearray()
    for b in range(kib):
        for t in range(64):
            out += bytes([b & 0xFF] * 8 + [t | ((b >> 8) & 3) << 6] * 8)
    return bytes(out)


CHR = chr_rom()
BACKGROUND = [0x0F, 0x01, 0x11, 0x21, 0x0F, 0x06, 0x16, 0x26, 0x0F, 0x09, 0x19, 0x29, 0x0F, 0x0C, 0x1C, 0x2C]
SPRITES = [0x0F, 0x14, 0x24, 0x34, 0x0F, 0x17, 0x27, 0x37, 0x0F, 0x1A, 0x2A, 0x3A, 0x0F, 0x03, 0x13, 0x23]


def palette_of(nes) -> dict:
    """RGB -> (sprite?, palette, pixel value)."""
    lut = nes.colorLookup()
    found = {tuple(lut[0x0F]): (False, None, 0)}
    for sprite, values in ((False, BACKGROUND), (True, SPRITES)):
        for k in range(4):
            for v in (1, 2, 3):
                found[tuple(lut[values[4 * k + v]])] = (sprite, k, v)
    return found


def cell(picture: np.ndarray, colours: dict, y: int, x: int):
    """(bank, tile, palette, sprite?) of the eight pixels at row y from column x."""
    pixels = [colours[tuple(picture[y, x + i])] for i in range(8)]
    low = sum(((v & 1) << (7 - i)) for i, (_, _, v) in enumerate(pixels))
    high = sum(((v >> 1) << (7 - i)) for i, (_, _, v) in enumerate(pixels))
    shown = [p for p in pixels if p[2]]
    palette = shown[0][1] if shown else None
    return low | (high >> 6) << 8, high & 0x3F, palette, bool(shown and shown[0][0])


def grid(nes, rows=range(30), columns=range(32), line: int = 1) -> dict:
    picture = np.array(nes.getImg())
    colours = palette_of(nes)
    return {(r, c): cell(picture, colours, 8 * r + line, 8 * c) for r in rows for c in columns}


def nametable_view(page: bytes, banks, table: int = 0) -> dict:
    """What a kilobyte of nametable shows (tile numbers and attributes)."""
    out = {}
    for r in range(30):
        for col in range(32):
            index = page[32 * r + col]
            attribute = page[0x3C0 | (r >> 2) * 8 | col >> 2]
            palette = (attribute >> (((r & 2) << 1) | (col & 2))) & 3
            out[(r, col)] = (banks[4 * table + (index >> 6)], index & 63, palette, False)
    return out


def runs(nes, frames: int = 2):
    nesrom.run_frames(nes, frames)


# ------------------------------------------------------------ sound

CPU_HZ = 1789773
RATE = 44100


def audio_blocks(cart: Cart, frames: int) -> list[np.ndarray]:
    """The split blocks handed over in `frames` frames, joined per channel
    (the mix, the APU's five, then the board's)."""
    taken = []
    for _ in range(frames):
        cart.nes.runFrame()
        blocks = cart.nes.getAudio(True)
        if blocks[0]:
            taken.append([np.frombuffer(b, np.int16) for b in blocks])
    assert taken, "no audio block was handed over"
    return [np.concatenate(ch) for ch in zip(*taken)]


def pitch(samples: np.ndarray) -> float:
    """The strongest frequency, in Hz."""
    spectrum = np.abs(np.fft.rfft(samples - samples.mean()))
    return float(np.argmax(spectrum)) * RATE / len(samples)


def check_pitch(samples: np.ndarray, hz: float) -> None:
    """The strongest frequency lies within two of the spectrum's bins of `hz`."""
    found = pitch(samples)
    assert abs(found - hz) <= 2 * RATE / len(samples), f"{found:.1f} Hz, not {hz:.1f}"


def check_channel(cart: Cart, writes, hz: float, frames: int) -> np.ndarray:
    """After `writes` the board's channel sounds at `hz` (checked below half the sample
    rate) and, the APU silent, the mix is it over a constant; returns the channel."""
    cart.run(Script().w(*writes))
    mix, *apu, board = audio_blocks(cart, frames)
    assert len(apu) == 5
    if hz < RATE / 2:
        check_pitch(board, hz)
    assert len(np.unique(mix.astype(int) - board)) == 1
    return board


def check_silenced(cart: Cart, on, off, frames: int, settle: int) -> None:
    """The board's channel varies after the writes `on` and, past the `settle`
    frames that hand over the block with the writes `off` in it, is a constant."""
    cart.run(Script().w(*on))
    assert len(np.unique(audio_blocks(cart, frames)[-1])) > 1
    cart.run(Script().w(*off))
    audio_blocks(cart, settle)
    assert len(np.unique(audio_blocks(cart, frames)[-1])) == 1


# ------------------------------------------------------------ replays


def driven(cart: Cart, frames: int):
    """Runs `frames` frames with the pad moving, yielding after each."""
    for _ in range(frames):
        f = cart.nes.frameCount()
        cart.pad.updateInputs([(f * 13 >> k) & 1 for k in range(8)])
        cart.nes.runFrame()
        yield


def digest(cart: Cart, *, sound: bool) -> str:
    """Of the picture, both memories, OAM and, with `sound`, the audio handed over."""
    found = hashlib.sha256()
    for view in (cart.nes.getImg(), cart.mem, cart.vram, cart.nes.OAM()):
        found.update(view.tobytes())
    if sound:
        for block in cart.nes.getAudio(True):
            found.update(bytes(block))
    return found.hexdigest()


def replay(cart: Cart, frames: int) -> list[str]:
    """A digest per frame, sound included, with the pad moving."""
    return [digest(cart, sound=True) for _ in driven(cart, frames)]


def play(cart: Cart, frames: int) -> tuple[list, set]:
    """A digest per frame without the sound, with the pad moving, and the
    distinct PRG and CHR contents on show."""
    seen, banks = [], set()
    for _ in driven(cart, frames):
        seen.append(digest(cart, sound=False))
        banks.add(hashlib.sha256(cart.mem[0x8000:].tobytes() + cart.vram[:0x2000].tobytes()).digest())
    return seen, banks


def from_snapshot(cart: Cart, record, settle: int, frames: int) -> tuple:
    """What record(cart, frames) gives after `settle` frames of it, and what
    it gives in a fresh console restored from a snapshot taken there."""
    import velkora_gym

    record(cart, settle)
    data = velkora_gym.snapshot(cart.nes)
    expected = record(cart, frames)
    fresh = Cart(cart.data, cart.name)
    velkora_gym.restore(fresh.nes, data)
    # Restored, the console is the same state in the same bytes.
    assert velkora_gym.snapshot(fresh.nes) == data
    return expected, record(fresh, frames)


def check_nmi_replay(cart: Cart, writes, ctrl: int = 0, settle: int = 20, frames: int = 40) -> None:
    """With the NMI on (PPUCTRL `ctrl`) and each NMI running hook(writes), the
    frames after `settle` move the banks and replay alike from a snapshot in a
    fresh console."""
    cart.on_nmi(writes)
    cart.run(Script().w((0x2000, ctrl | 0x80)))
    (expected, banks), (again, _) = from_snapshot(cart, play, settle, frames)
    assert len(banks) > 1, "the NMI writes changed no bank"
    assert again == expected


def check_snapshot_replay(cart: Cart, timing: str) -> None:
    """In `timing`, forty frames that move the picture replay alike from a
    snapshot in a fresh console."""
    import velkora_gym

    velkora_gym.set_timing(cart.nes, timing)
    expected, again = from_snapshot(cart, replay, 20, 40)
    assert len(set(expected)) > 30
    assert again == expected


# Tests of a board's timing run in both of the console's timing models.
TIMINGS = ("design", "hardware")
both_timings = pytest.mark.parametrize("timing", TIMINGS)


def console(data: bytes, name: str, timing: str, frames: int = 0):
    """A ``velkora.NES`` of the image `data` in `timing`, run `frames` frames."""
    import velkora
    import velkora_gym

    nes = velkora.NES(nesrom.ImageFile(data, name))
    velkora_gym.set_timing(nes, timing)
    return nesrom.run_frames(nes, frames)


def restored_twin(nes, data: bytes, name: str):
    """A fresh console of `data` restored from a snapshot of `nes`: the two
    run three frames to the same pictures and RAM."""
    import velkora
    import velkora_gym

    twin = velkora.NES(nesrom.ImageFile(data, name))
    velkora_gym.restore(twin, velkora_gym.snapshot(nes))
    for _ in range(3):
        nes.runFrame()
        twin.runFrame()
        assert np.array_equal(nes.getImg(), twin.getImg())
        assert np.array_equal(nes.cpuMem(), twin.cpuMem())
    return twin


def irqs_after(nes, frames: int) -> int:
    """Runs `frames` frames; returns the IRQs the handler counted at $10/$11."""
    nesrom.run_frames(nes, frames)
    mem = nes.cpuMem()
    return int(mem[0x10]) | int(mem[0x11]) << 8


def beside_batches(data: bytes, frames: int):
    """Runs a console and two one-console batches of `data`, with and without
    audio: each frame the loud batch hands out the console's audio and the
    quiet one's RAM is the console's; at the end the loud batch's snapshot is
    the console's. Yields the console and its audio."""
    import velkora
    import velkora_gym

    single = velkora.NES(nesrom.ImageFile(data, "single.nes"))
    loud = velkora_gym.Batch(data, 1, audio=True)
    quiet = velkora_gym.Batch(data, 1, audio=False)
    for _ in range(frames):
        single.runFrame()
        loud.step(np.zeros(1, np.uint8))
        quiet.step(np.zeros(1, np.uint8))
        heard = single.getAudio(True)
        assert loud.get_audio(0, True) == heard
        assert np.array_equal(quiet.ram[0], single.cpuMem()[:2048])
        yield single, heard
    assert loud.snapshot(0) == velkora_gym.snapshot(single)


def bank_steps(kw: dict, steps):
    """A cartridge of `kw` runs each step's writes: yields the step and the
    windows after it."""
    cart = Cart(image(**kw))
    for step in steps:
        cart.run(Script().w(*step[0]))
        yield step, cart.windows()


def loaded(cart: Cart, folder, slot: int = 0) -> Cart:
    """A fresh console of the cartridge that loaded the state `cart` saved in
    `folder`'s `slot`."""
    fresh = Cart(cart.data, cart.name)
    fresh.nes.setSaveDir(str(folder))
    assert fresh.nes.loadState(slot)
    return fresh


def continued_from_save(folder, data: bytes, setup, follow) -> tuple[Cart, Cart]:
    """A console that ran `setup`, saved and then ran `follow`, and a fresh
    one that loaded the save and ran `follow`: their windows agree."""
    first = Cart(data)
    first.nes.setSaveDir(str(folder))
    first.run(Script().w(*setup))
    first.nes.saveState(0)
    first.run(Script().w(*follow))

    second = loaded(first, folder)
    second.run(Script().w(*follow))
    assert second.windows() == first.windows()
    return first, second


def scene_continues_after_save(first: Cart, folder, prepare: Script, follow: Script) -> None:
    """`first`, its NMI hook moving registers, runs ten frames, stops the
    hook, runs `prepare` and saves; then it and a fresh console that loaded
    the save run `follow` alike, to the same windows, memories and picture."""
    first.nes.setSaveDir(str(folder))
    replay(first, 10)
    first.mem[HOOK] = 0x60
    first.run(prepare)
    first.nes.saveState(0)
    assert (folder / "0").stat().st_size == 82189
    got = first.run(follow)

    second = loaded(first, folder)
    assert second.run(follow) == got
    assert second.windows() == first.windows()
    assert np.array_equal(second.mem[0x4020:], first.mem[0x4020:]) and np.array_equal(second.vram, first.vram)
    runs(first.nes)
    runs(second.nes)
    assert grid(second.nes) == grid(first.nes)


# ------------------------------------------------------------ nametable pages

# Layout M0: $2405 gets A; M1: $2005 gets B; then reads of $2805, $2005 in M0,
# $2C05, $2405 in M1, and what the console's nametable RAM holds.
A, B = 0xA1, 0xB2
# The page on show sits at $2000 (the test ends in M1, the upper page), the other at $2400.
ONE_SCREEN = ([A, A, B, B], {0x2005: B, 0x2405: A})
V_THEN_H = ([B, B, A, B], {0x2005: B, 0x2805: A})  # the second table follows each switch
HORIZONTAL = ([0, B, 0, B], {0x2005: B, 0x2805: 0})
VERTICAL = ([B, B, A, A], {0x2005: B, 0x2405: A})


def page_reads(cart: Cart, m0, m1) -> list[int]:
    """Layout M0's write and M1's, then the four reads."""
    s = Script().w(*m0).put(0x2405, A).w(*m1).put(0x2005, B)
    return cart.run(s.w(*m0).get(0x2805).get(0x2005).w(*m1).get(0x2C05).get(0x2405))


def check_pages(kw: dict | Cart, m0, m1, expected) -> None:
    """Writes and reads through both layouts: `expected` is (reads, RAM). `kw`
    is the image's arguments or the cartridge itself."""
    reads, stored = expected
    cart = kw if isinstance(kw, Cart) else Cart(image(**kw))
    assert page_reads(cart, m0, m1) == reads
    assert {a: int(cart.vram[a]) for a in stored} == stored


def check_slots(cart: Cart, pages, banks) -> None:
    """Each nametable slot in turn, put at $2000, shows its kilobyte of `pages`
    with pattern table 1's `banks`."""
    for slot, page in enumerate(pages):
        cart.run(Script().w((0x2000, slot | 0x10), (0x2005, 0), (0x2005, 0), (0x2001, 0x0A)))
        runs(cart.nes)
        assert grid(cart.nes) == nametable_view(page, banks, table=1), f"slot {slot}"
        cart.run(Script().w((0x2001, 0)))


def first_black_row(nes) -> int | None:
    """The first picture row that is all backdrop (black), or None."""
    dark = (np.asarray(nes.getImg()).reshape(240, -1) < 0x40).all(axis=1)
    rows = np.flatnonzero(dark)
    return int(rows[0]) if rows.size else None


def restored(cart: Cart) -> Cart:
    """A fresh console of the cartridge restored from a snapshot of `cart` now."""
    import velkora_gym

    fresh = Cart(cart.data, cart.name)
    velkora_gym.restore(fresh.nes, velkora_gym.snapshot(cart.nes))
    return fresh


def opens_or_refuses(data: bytes, refused: str | None) -> None:
    """A console of `data` opens, or (`refused` given) is refused naming it."""
    import velkora

    if refused is None:
        velkora.NES(nesrom.ImageFile(data))
        return
    with pytest.raises(Exception, match=refused):
        velkora.NES(nesrom.ImageFile(data))
