"""The instruction test ROMs, one group per ROM, run through the Python API."""

import pytest

import velkora
from nesrom import rom, run_blargg

# The instruction table decodes some undocumented opcodes by their bit fields
# rather than as the NMOS chip runs them ($1A ... $FA as shifts and increments
# of the next byte, $82/$89/$C2/$E2 as stores and read-modify-writes of the
# immediate byte, $9E as STX abs,X). Those groups must name exactly these
# opcodes, as the ROMs print them, and nothing else.
DECODED_DIFFERENTLY = {
    "02-implied": ["1A NOP", "3A NOP", "5A NOP", "7A NOP", "DA NOP", "FA NOP"],
    "03-immediate": ["82 DOP #n", "89 DOP #n", "C2 DOP #n", "E2 DOP #n"],
    "07-abs_xy": ["9E SXA abs,Y"],
}

SINGLES = [
    "01-basics",
    "02-implied",
    "03-immediate",
    "04-zero_page",
    "05-zp_xy",
    "06-absolute",
    "07-abs_xy",
    "08-ind_x",
    "09-ind_y",
    "10-branches",
    "11-stack",
    "12-jmp_jsr",
    "13-rts",
    "14-rti",
    "15-brk",
    "16-special",
]


@pytest.mark.parametrize("name", SINGLES)
def test_instruction_group(name):
    nes = velkora.NES(str(rom("instr_test-v5", "rom_singles", f"{name}.nes")))
    status, text = run_blargg(nes)
    assert nes.cpuMem()[0x6001:0x6004].tobytes() == b"\xde\xb0\x61"
    if name not in DECODED_DIFFERENTLY:
        assert status == 0, f"{name}: status {status}: {text}"
        return
    assert status == 1, text
    reported = [line for line in text.splitlines() if line and line not in (name, "Failed")]
    assert reported == DECODED_DIFFERENTLY[name]
