// CPROM (mapper 13): 16 KiB of CHR RAM in four 4 KiB pages. $0000-$0FFF
// always shows page 0; $1000-$1FFF shows the selected page, copied in and
// out, so what the game wrote into a page is there when it comes back.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// CPROM (13): 16 KiB of CHR RAM; $1000-$1FFF shows one of its four pages.
class CPROM : public Mapper {
public:
    static constexpr int32_t kPage = 4096;
    uint8_t page = 0;
    // Pages 1-3 while they are not on show (page 0 always is, at $0000).
    uint8_t pages[4][kPage] = {};
    CPROM() : Mapper(13, 0x8000) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address < 0x8000 || (value & 3) == page) return;
        showPage(context, value & 3);
    }
    void serialize(StateStream& s) override {
        s.io(page, 0, 3, "CPROM page");
        if (s.onlyRegisters()) return;
        for (int p = 1; p < 4; ++p) {
            if (s.version() == 1) s.bytes(pages[p], kPage);
            else s.zeroRuns(pages[p], kPage, "CPROM page");
        }
    }
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x8000, 0, 32);
        mapChr(context, 0x1000, 0, 4);
        sharePatternTables(context, true);
        page = 0;
    }

private:
    void showPage(BusContext& context, uint8_t next) {
        // Page 0 lives at $0000; the others are kept here while not on show.
        if (page != 0) saveChrRam(context, 0x1000, pages[page], kPage);
        if (next == 0) mapChr(context, 0x1000, 0, 4);
        else loadChrRam(context, 0x1000, pages[next], kPage);
        sharePatternTables(context, next == 0);
        page = next;
    }
};

std::unique_ptr<Mapper> makeCPROM(const BoardChoice&) { return std::make_unique<CPROM>(); }

}  // namespace NES
