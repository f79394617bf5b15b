// The cartridge board logic. Banking is done by copying the selected banks
// into the CPU's memory and the PPU's pattern tables, so no fetch calls a board.
#pragma once

#include <cstdint>
#include <memory>

#include "common.h"

class StateStream;

namespace NES {

class Mapper {
public:
    int32_t number = 0;
    // Non-virtual hints so the hot paths skip hooks a board leaves empty.
    bool watchesWrites = false;
    bool watchesReads = false;
    bool countsDots = false;

    Mapper() = default;
    Mapper(const Mapper&) = delete;
    Mapper& operator=(const Mapper&) = delete;

    virtual void cpuWrite(BusContext& context, uint16_t address, uint8_t& value);
    virtual void cpuRead(BusContext& context, uint16_t address);
    virtual void onDot(BusContext& context);
    virtual void storeState(BusContext& context, uint8_t* block);
    virtual void restoreState(BusContext& context, const uint8_t* block);
    virtual ~Mapper();
    // Every register of the board, for complete snapshots; the banks it
    // mapped come back with the CPU and PPU memories (each board's file).
    virtual void serialize(StateStream& s);

protected:
    // Bank copies shared by the boards (mapper.cpp). Each wraps inside its
    // source ROM one KiB at a time and does nothing when that ROM is absent,
    // so no header can steer a copy outside the buffers.
    static void mapPrg(BusContext& context, uint16_t window, int32_t startKiB, int32_t kib);
    static void mapLastPrg16(BusContext& context, uint16_t window);
    static void mapChr(BusContext& context, uint16_t window, int32_t startKiB, int32_t kib);
    static void put32(uint8_t* block, int32_t value);
    static int32_t get32(const uint8_t* block);
};

class NROM : public Mapper {
public:
    NROM() { number = 0; }
};

class DEFAULT_MAPPER : public Mapper {
public:
    explicit DEFAULT_MAPPER(int32_t n) { number = n; }
};

class UxROM : public Mapper {
public:
    int32_t prgBank = 0;  // KiB
    UxROM() { number = 2; watchesWrites = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
    void mapBanks(BusContext& context);
};

class CNROM : public Mapper {
public:
    int32_t chrBank = 0;  // KiB
    CNROM() { number = 3; watchesWrites = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
};

class MMC1 : public Mapper {
public:
    uint8_t prgMode = 3;
    uint8_t chrMode = 0;
    uint8_t shiftRegister = 0x10;
    uint8_t registerValue = 0;
    MMC1() { number = 1; watchesWrites = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void writeControl(BusContext& context, uint8_t value);
};

class MMC3 : public Mapper {
public:
    uint8_t bankSelect = 0;
    uint8_t lastBankSelect = 0;
    uint8_t prgRamWriteProtect = 0;
    uint8_t prgRamEnable = 1;
    uint8_t irqEnable = 1;
    uint16_t reserved0 = 0;
    int32_t irqCounter = 255;
    uint8_t irqLatch = 255;
    uint8_t reserved1[2] = {0, 0};
    MMC3() { number = 4; watchesWrites = true; countsDots = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
};

class NTDEC2722 : public Mapper {
public:
    uint16_t irqCounter = 0x3000;
    uint8_t irqEnable = 1;
    NTDEC2722() { number = 40; watchesWrites = true; countsDots = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void serialize(StateStream& s) override;
};

// Creates the board for an iNES mapper number (DEFAULT_MAPPER for unknown ones).
std::unique_ptr<Mapper> createMapper(int32_t number);

}  // namespace NES
