// A game's rules for learning: its variables in memory, how their changes
// make a reward and which of their values end an episode. The Python side
// reads them from a game's integration folder; here they run in the worker
// threads, so a step of many consoles needs no Python per console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class GameRules {
public:
    static constexpr size_t kRamBytes = 2048;
    static constexpr size_t kPrgRamBytes = 8192;

    // A number in RAM ($0000-$07FF) or PRG RAM ($6000-$7FFF).
    enum class Kind : uint8_t { Unsigned, Signed, PackedDecimal, DecimalDigits };
    struct Variable {
        uint16_t address = 0;
        uint8_t size = 1;  // bytes
        Kind kind = Kind::Unsigned;
        bool bigEndian = false;
    };
    // A change of a variable, weighed by whether it rose or fell.
    struct RewardTerm {
        int variable = 0;
        double rise = 0, fall = 0;
    };
    enum class Op : uint8_t {
        Equal,
        NotEqual,
        LessThan,
        GreaterThan,
        LessOrEqual,
        GreaterOrEqual,
        Zero,
        Nonzero,
        Positive,
        Negative
    };
    struct Test {
        int variable = 0;
        Op op = Op::Equal;
        double reference = 0;
        bool change = false;  // the change since the last step instead of the value
    };
    // Tests and nested conditions joined by any or all; empty never holds.
    struct Condition {
        bool all = false;
        std::vector<Test> tests;
        std::vector<Condition> nodes;
    };

    std::vector<Variable> variables;
    std::vector<RewardTerm> rewards;
    Condition done;
    // The variable counting lives, or -1.
    int lives = -1;

    // Throws std::invalid_argument naming what is wrong (an address outside
    // both memories, a size a kind cannot have, a variable index out of range).
    void validate() const;
    bool readsPrgRam() const;

    // Every variable's value, into values[variables.size()].
    void read(const uint8_t* ram, const uint8_t* prgRam, int64_t* values) const;
    double reward(const int64_t* previous, const int64_t* current) const;
    bool ended(const int64_t* previous, const int64_t* current) const;
    bool holds(const Condition& condition, const int64_t* previous, const int64_t* current) const;

private:
    static int64_t decode(const uint8_t* bytes, const Variable& variable);
    static bool test(const Test& test, const int64_t* previous, const int64_t* current);
    void validate(const Condition& condition) const;
};
