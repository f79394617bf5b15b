// The PPU's part of a timing change and of the reset button.
#include <algorithm>
#include <iterator>

#include "cpu/cpu.h"
#include "ppu/ppu.h"

namespace {

// Palette RAM comes up holding whatever its cells settle to; these are the
// values one NTSC console was measured to power up with (the hardware timing
// starts with them, the design's with zeros).
constexpr uint8_t kPowerOnPalette[32] = {
    0x09, 0x01, 0x00, 0x01, 0x00, 0x02, 0x02, 0x0D, 0x08, 0x10, 0x08, 0x24, 0x00, 0x00, 0x04, 0x2C,
    0x09, 0x01, 0x34, 0x03, 0x00, 0x04, 0x00, 0x14, 0x08, 0x3A, 0x00, 0x02, 0x00, 0x20, 0x2C, 0x08,
};

}  // namespace

void PPU::powerOnTiming() {
    scanline = 0;
    cycle = 25;
    postRender = false;
    displayEmphasised = false;
    if (hardware) std::copy(std::begin(kPowerOnPalette), std::end(kPowerOnPalette), &vram[0x3F00]);
    else std::fill(&vram[0x3F00], &vram[0x3F20], 0);
    clearHardwareState();
}

void PPU::clearHardwareState() {
    shortFrame = false;
    evalLine = -1;
    evalYInRange = 0;
    evalFound = 0;
    evalDot = kEvaluationStart;
    evalCopy = 0;
    evalLast = 0;
    ioLatch = 0;
    std::fill(std::begin(latchDrivenAt), std::end(latchDrivenAt), 0);
    dataReadDot = -1000;
    // Coming from the design's timing, emphasis shows from here on.
    emphasisStart = 0;
    emphasisChanges.clear();
    if (hardware) noteEmphasis(uint8_t(*ppuMask >> 5), 0);
    adoptAddressLine();
}

// The reset button clears PPUCTRL, PPUMASK, the scroll and address latch and
// the read buffer; OAM, its address, video memory and the frame's position
// keep what they had.
void PPU::softReset() {
    payOwedDots();
    if (a12Watched) addressLineBeforeAccess();
    if (hardware && nmiOccurred && (*ppuCtrl & 0x80)) cpu->nmiLineFell(totalDots);
    if (hardware) noteEmphasis(0, uint8_t(*ppuMask >> 5));
    *ppuCtrl = 0;
    *ppuMask = 0;
    w = false;
    t = 0;
    fineX = 0;
    readBuffer = 0;
    if (a12Watched) addressLineAfterAccess(0, 0);
}
