// The PPU's part of a timing change and of the reset button.
#include "ppu/ppu.h"

void PPU::powerOnTiming() {
    scanline = 0;
    cycle = 25;
    postRender = false;
    adoptAddressLine();
}

void PPU::clearHardwareState() { adoptAddressLine(); }

void PPU::softReset() {
    payOwedDots();
    if (a12Watched) addressLineBeforeAccess();
    *ppuCtrl = 0;
    *ppuMask = 0;
    w = false;
    t = 0;
    fineX = 0;
    readBuffer = 0;
    if (a12Watched) addressLineAfterAccess(0, 0);
}
