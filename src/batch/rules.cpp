// A game's variables, rewards and episode ends, computed as the Python
// reading of an integration folder computes them: values as 64-bit integers
// (wrapping as NumPy's do), changes as integers, weights and references as
// doubles.
#include "batch/rules.h"

#include <stdexcept>

namespace {

bool inRam(uint32_t first, uint32_t last) { return last < GameRules::kRamBytes && first <= last; }
bool inPrgRam(uint32_t first, uint32_t last) { return first >= 0x6000 && last < 0x8000 && first <= last; }

}  // namespace

void GameRules::validate() const {
    for (size_t i = 0; i < variables.size(); ++i) {
        const Variable& v = variables[i];
        const uint32_t last = uint32_t(v.address) + v.size - 1;
        if (v.size < 1 || !(inRam(v.address, last) || inPrgRam(v.address, last))) {
            throw std::invalid_argument("variable " + std::to_string(i) + " lies outside RAM and PRG RAM");
        }
        if ((v.kind == Kind::Unsigned || v.kind == Kind::Signed) && v.size > 4) {
            throw std::invalid_argument("variable " + std::to_string(i) + ": integers take 1 to 4 bytes");
        }
    }
    for (const RewardTerm& term : rewards) {
        if (term.variable < 0 || size_t(term.variable) >= variables.size()) {
            throw std::invalid_argument("a reward names no variable");
        }
    }
    validate(done);
    if (lives >= int(variables.size())) throw std::invalid_argument("the lives variable is out of range");
}

void GameRules::validate(const Condition& condition) const {
    for (const Test& t : condition.tests) {
        if (t.variable < 0 || size_t(t.variable) >= variables.size()) {
            throw std::invalid_argument("an episode-end test names no variable");
        }
        if (uint8_t(t.op) > uint8_t(Op::Negative)) throw std::invalid_argument("an episode-end test has no such op");
    }
    for (const Condition& node : condition.nodes) validate(node);
}

bool GameRules::readsPrgRam() const {
    for (const Variable& v : variables) {
        if (v.address >= 0x6000) return true;
    }
    return false;
}

int64_t GameRules::decode(const uint8_t* bytes, const Variable& v) {
    // Least significant byte first from here on.
    const auto byte = [&](int k) { return uint64_t(bytes[v.bigEndian ? v.size - 1 - k : k]); };
    uint64_t value = 0, scale = 1;
    switch (v.kind) {
        case Kind::DecimalDigits:
            for (int k = 0; k < v.size; ++k, scale *= 10) value += (byte(k) & 0x0F) * scale;
            return int64_t(value);
        case Kind::PackedDecimal:
            for (int k = 0; k < v.size; ++k, scale *= 100) value += ((byte(k) >> 4) * 10 + (byte(k) & 0x0F)) * scale;
            return int64_t(value);
        case Kind::Unsigned:
        case Kind::Signed:
            for (int k = 0; k < v.size; ++k) value |= byte(k) << (8 * k);
            if (v.kind == Kind::Signed && (value >> (8 * v.size - 1)) & 1)
                return int64_t(value) - (int64_t(1) << (8 * v.size));
            return int64_t(value);
    }
    return 0;
}

void GameRules::read(const uint8_t* ram, const uint8_t* prgRam, int64_t* values) const {
    for (size_t i = 0; i < variables.size(); ++i) {
        const Variable& v = variables[i];
        values[i] = decode(v.address >= 0x6000 ? prgRam + (v.address - 0x6000) : ram + v.address, v);
    }
}

double GameRules::reward(const int64_t* previous, const int64_t* current) const {
    double total = 0;
    for (const RewardTerm& term : rewards) {
        const double change = double(int64_t(uint64_t(current[term.variable]) - uint64_t(previous[term.variable])));
        total += change > 0 ? change * term.rise : change * term.fall;
    }
    return total;
}

bool GameRules::test(const Test& t, const int64_t* previous, const int64_t* current) {
    const int64_t raw =
        t.change ? int64_t(uint64_t(current[t.variable]) - uint64_t(previous[t.variable])) : current[t.variable];
    const double value = double(raw);
    switch (t.op) {
        case Op::Equal: return value == t.reference;
        case Op::NotEqual: return value != t.reference;
        case Op::LessThan: return value < t.reference;
        case Op::GreaterThan: return value > t.reference;
        case Op::LessOrEqual: return value <= t.reference;
        case Op::GreaterOrEqual: return value >= t.reference;
        case Op::Zero: return raw == 0;
        case Op::Nonzero: return raw != 0;
        case Op::Positive: return raw > 0;
        case Op::Negative: return raw < 0;
    }
    return false;
}

bool GameRules::holds(const Condition& condition, const int64_t* previous, const int64_t* current) const {
    if (condition.tests.empty() && condition.nodes.empty()) return false;
    for (const Test& t : condition.tests) {
        if (test(t, previous, current) != condition.all) return !condition.all;
    }
    for (const Condition& node : condition.nodes) {
        if (holds(node, previous, current) != condition.all) return !condition.all;
    }
    return condition.all;
}

bool GameRules::ended(const int64_t* previous, const int64_t* current) const { return holds(done, previous, current); }
