// Board creation: one table from iNES mapper number to the function that
// makes the board (boards.cpp); each board's make function is in its file.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace NES {

class Mapper;

// What picks a board beside its number: the NES 2.0 submapper and the CHR ROM size.
struct BoardChoice {
    int32_t number = 0;
    int32_t submapper = 0;
    int64_t chrBytes = 0;
};

// Creates the board for an iNES mapper number (a board without registers for
// unknown ones, which emulatesMapper refuses).
std::unique_ptr<Mapper> createMapper(int32_t number, int32_t submapper = 0, int64_t chrBytes = 0);
// The mapper numbers createMapper makes a board of, ascending.
const std::vector<int32_t>& emulatedMappers();
bool emulatesMapper(int32_t number);

std::unique_ptr<Mapper> makeNROM(const BoardChoice& board);
std::unique_ptr<Mapper> makeMMC1(const BoardChoice& board);
std::unique_ptr<Mapper> makeUxROM(const BoardChoice& board);
std::unique_ptr<Mapper> makeCNROM(const BoardChoice& board);
std::unique_ptr<Mapper> makeMMC3(const BoardChoice& board);
std::unique_ptr<Mapper> makeMMC5(const BoardChoice& board);
std::unique_ptr<Mapper> makeAxROM(const BoardChoice& board);
std::unique_ptr<Mapper> makeMMC2(const BoardChoice& board);
std::unique_ptr<Mapper> makeColorDreams(const BoardChoice& board);
std::unique_ptr<Mapper> makeCPROM(const BoardChoice& board);
std::unique_ptr<Mapper> makeBandaiFCG(const BoardChoice& board);
std::unique_ptr<Mapper> makeSS88006(const BoardChoice& board);
std::unique_ptr<Mapper> makeNamco163(const BoardChoice& board);
std::unique_ptr<Mapper> makeNamco175(const BoardChoice& board);
std::unique_ptr<Mapper> makeVRC2_4(const BoardChoice& board);
std::unique_ptr<Mapper> makeVRC6(const BoardChoice& board);
std::unique_ptr<Mapper> makeAction53(const BoardChoice& board);
std::unique_ptr<Mapper> makeIremG101(const BoardChoice& board);
std::unique_ptr<Mapper> makeTaitoTC0190(const BoardChoice& board);
std::unique_ptr<Mapper> makeBNROM(const BoardChoice& board);
std::unique_ptr<Mapper> makeNTDEC2722(const BoardChoice& board);
std::unique_ptr<Mapper> makeTaitoTC0690(const BoardChoice& board);
std::unique_ptr<Mapper> makeGxROM(const BoardChoice& board);
std::unique_ptr<Mapper> makeSunsoft4(const BoardChoice& board);
std::unique_ptr<Mapper> makeFME7(const BoardChoice& board);
std::unique_ptr<Mapper> makeCamerica(const BoardChoice& board);
std::unique_ptr<Mapper> makeVRC3(const BoardChoice& board);
std::unique_ptr<Mapper> makeVRC1(const BoardChoice& board);
std::unique_ptr<Mapper> makeNINA03(const BoardChoice& board);
std::unique_ptr<Mapper> makeVRC7(const BoardChoice& board);
std::unique_ptr<Mapper> makeUNROM180(const BoardChoice& board);
std::unique_ptr<Mapper> makeNamco108(const BoardChoice& board);

}  // namespace NES
