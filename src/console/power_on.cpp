// Power-on of a console that exists: the machine a constructor builds from
// the cartridge the console holds, without the ROM's path or bytes.
#include <cstring>

#include "console/nes_unit.h"
#include "state/snapshot.h"

namespace {

// The image as the loader reads it: header, trainer, PRG and CHR ROM. Bytes
// an image may carry past them are never read, so they cannot matter.
std::vector<uint8_t> imageOf(const Cartridge& cartridge) {
    std::vector<uint8_t> image(cartridge.header, cartridge.header + sizeof cartridge.header);
    if (cartridge.header[6] & 0x04) image.insert(image.end(), cartridge.trainer, cartridge.trainer + 512);
    image.insert(image.end(), cartridge.prgRom.begin(), cartridge.prgRom.end());
    image.insert(image.end(), cartridge.chrRom.begin(), cartridge.chrRom.end());
    return image;
}

}  // namespace

void NESUnit::powerOn() {
    // Built the way every constructor builds a console, in this console's
    // timing: whatever a console takes at power-on belongs here. Headless, so
    // no battery file is read and nothing is printed: battery RAM starts
    // cleared, as on the consoles of a batch.
    NESUnit fresh(Headless{}, imageOf(*cartridge), cpu->clockSpeed);
    fresh.setTiming(timing());
    std::vector<uint8_t> state;
    state.resize(writeSnapshot(fresh, state, true));
    // Loaded in place, so views of memory and of the picture stay valid, and
    // what belongs to the host (joypads, callback, save folder) stays too.
    restoreSnapshot(*this, state.data(), state.size());
    // Nothing has run since: a timing chosen now gives that timing's power-on.
    atPowerOn = true;
}
