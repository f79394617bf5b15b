// The board table: every emulated iNES mapper number and its make function.
#include "cartridge/mappers/boards.h"

#include <algorithm>
#include <iterator>

#include "cartridge/mappers/mapper.h"

namespace NES {

namespace {

// A mapper number no board here answers: no registers, nothing mapped.
class UnknownBoard : public Mapper {
public:
    explicit UnknownBoard(int32_t n) { number = n; }
};

struct BoardRow {
    int32_t number;
    std::unique_ptr<Mapper> (*make)(const BoardChoice&);
};

// Ascending by number, so the table is also the list of supported numbers.
constexpr BoardRow kBoards[] = {
    {0, makeNROM},         {1, makeMMC1},       {2, makeUxROM},        {3, makeCNROM},     {4, makeMMC3},
    {5, makeMMC5},         {7, makeAxROM},      {9, makeMMC2},         {10, makeMMC2},     {11, makeColorDreams},
    {13, makeCPROM},       {16, makeBandaiFCG}, {18, makeSS88006},     {19, makeNamco163}, {21, makeVRC2_4},
    {22, makeVRC2_4},      {23, makeVRC2_4},    {24, makeVRC6},        {25, makeVRC2_4},   {26, makeVRC6},
    {28, makeAction53},    {32, makeIremG101},  {33, makeTaitoTC0190}, {34, makeBNROM},    {40, makeNTDEC2722},
    {48, makeTaitoTC0690}, {66, makeGxROM},     {68, makeSunsoft4},    {69, makeFME7},     {71, makeCamerica},
    {73, makeVRC3},        {75, makeVRC1},      {79, makeNINA03},      {85, makeVRC7},     {180, makeUNROM180},
    {206, makeNamco108},   {210, makeNamco175},
};

constexpr bool ascending() {
    for (size_t i = 1; i < std::size(kBoards); ++i) {
        if (kBoards[i - 1].number >= kBoards[i].number) return false;
    }
    return true;
}
static_assert(ascending(), "the board table must be ascending by number");

const BoardRow* findBoard(int32_t number) {
    const auto row = std::lower_bound(std::begin(kBoards), std::end(kBoards), number,
                                      [](const BoardRow& r, int32_t n) { return r.number < n; });
    return row != std::end(kBoards) && row->number == number ? row : nullptr;
}

}  // namespace

std::unique_ptr<Mapper> createMapper(int32_t number, int32_t submapper, int64_t chrBytes) {
    const BoardRow* row = findBoard(number);
    if (!row) return std::make_unique<UnknownBoard>(number);
    return row->make(BoardChoice{number, submapper, chrBytes});
}

bool emulatesMapper(int32_t number) { return findBoard(number) != nullptr; }

const std::vector<int32_t>& emulatedMappers() {
    static const std::vector<int32_t> numbers = [] {
        std::vector<int32_t> found;
        for (const BoardRow& row : kBoards) found.push_back(row.number);
        return found;
    }();
    return numbers;
}

}  // namespace NES
