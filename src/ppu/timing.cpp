// The PPU's part of a timing change and of the reset button.
#include <algorithm>
#include <iterator>

#include "ppu/ppu.h"

void PPU::powerOnTiming() {
    scanline = 0;
    cycle = 25;
    postRender = false;
    locateNextEvent();
}

void PPU::clearHardwareState() {
    shortFrame = false;
    evalFound = 0;
    evalDot = kEvaluationStart;
    evalCopy = 0;
    evalLast = 0;
    ioLatch = 0;
    std::fill(std::begin(latchDrivenAt), std::end(latchDrivenAt), 0);
}

void PPU::softReset() {
    payOwedDots();
    *ppuCtrl = 0;
    *ppuMask = 0;
    w = false;
    t = 0;
    fineX = 0;
    readBuffer = 0;
}
