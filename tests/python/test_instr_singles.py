"""The instruction test ROMs, one group per ROM, run through the Python API."""
import pytest

import velkora
from nesrom import rom, run_blargg

# The instruction table decodes some undocumented opcodes by their bit
# fields rather than as the chip runs them: $1A-$FA as ASL ... INC implied,
# $82/$89/$C2/$E2 as STX/STA/DEC/INC immediate, $9E as STX abs,X. The ROMs
# that test those opcodes report them; strict, so a change shows up here.
def decoded_by_bit_fields(name):
    return pytest.param(name, marks=pytest.mark.xfail(
        strict=True, reason="undocumented opcodes follow the table's bit-field decoding"))


SINGLES = ["01-basics", decoded_by_bit_fields("02-implied"), decoded_by_bit_fields("03-immediate"),
           "04-zero_page", "05-zp_xy", "06-absolute", decoded_by_bit_fields("07-abs_xy"), "08-ind_x",
           "09-ind_y", "10-branches", "11-stack", "12-jmp_jsr", "13-rts", "14-rti", "15-brk", "16-special"]


@pytest.mark.parametrize("name", SINGLES)
def test_instruction_group(name):
    nes = velkora.NES(str(rom("instr_test-v5", "rom_singles", f"{name}.nes")))
    status, text = run_blargg(nes)
    if status != 0:
        print(text)
    assert status == 0, f"{name}: status {status}: {text}"
    assert nes.cpuMem()[0x6001:0x6004].tobytes() == b"\xde\xb0\x61"
