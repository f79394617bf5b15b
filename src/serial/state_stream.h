// One pass over a machine's state that measures, writes, checks or reads it.
// Every unit has a single serialize(StateStream&) naming its fields once, so
// what a snapshot writes and what a restore reads cannot drift apart.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "common.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "snapshots store values in the host's byte order");

// A snapshot the console refuses; the message names the reason.
class SnapshotError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A save into a buffer of fixed size that ran out of room.
class StreamFull : public std::length_error {
public:
    StreamFull() : std::length_error("snapshot buffer too small") {}
};

// The scalar fields' forms, written once for the stream and for its views
// of one fixed mode (Stream::scalar does the work).
template <class Stream>
class ScalarFields {
public:
    // A scalar (integer, enum, float or flag) as saved or read; only Load
    // stores it into the field.
    // Inlined: a snapshot passes some three hundred fields through these.
    template <class T, class = std::enable_if_t<std::is_arithmetic_v<T> || std::is_enum_v<T>>>
    [[gnu::always_inline]] T io(T& field, const char* name = nullptr) {
        return self().scalar(
            field, name, [](T) { return true; }, [](T) {});
    }
    // The same, refusing a value outside [lo, hi] (a NaN is outside too).
    template <class T, class L, class H, class = std::enable_if_t<std::is_arithmetic_v<T> || std::is_enum_v<T>>>
    [[gnu::always_inline]] T io(T& field, L lo, H hi, const char* name) {
        const T low = T(lo), high = T(hi);
        Stream& stream = self();
        return stream.scalar(
            field, name, [low, high](T value) { return value >= low && value <= high; },
            [&stream, name, low, high](T value) { stream.outOfRange(name, value, low, high); });
    }
    [[gnu::always_inline]] int64_t io(RelaxedCounter& counter, int64_t lo, int64_t hi, const char* name) {
        int64_t value = counter;
        value = io(value, lo, hi, name);
        if (self().loading()) counter = value;
        return value;
    }

private:
    Stream& self() { return static_cast<Stream&>(*this); }
};

class StateStream : public ScalarFields<StateStream> {
public:
    // Measure counts bytes; Save writes them; Check reads and validates
    // without changing anything; Load reads into the fields what Check
    // accepted (the ranges of fields are not tested again).
    enum class Mode { Measure, Save, Check, Load };

    // Where a field lies in the stream (recorded while measuring).
    struct Field {
        size_t offset;
        size_t size;
        const char* name;
    };

    StateStream(Mode mode, uint8_t* data, size_t size, size_t start = 0)
        : mode_(mode), data_(data), size_(size), offset_(start) {}
    // Saving onto the end of `sink`, which grows as needed and is never
    // shrunk, so a buffer reused for every snapshot stops allocating.
    StateStream(std::vector<uint8_t>& sink, size_t start)
        : mode_(Mode::Save), data_(sink.data()), size_(sink.size()), offset_(start), sink_(&sink) {}
    // A reading stream never writes through the pointer.
    StateStream(Mode mode, const uint8_t* data, size_t size) : StateStream(mode, const_cast<uint8_t*>(data), size) {}
    explicit StateStream(std::vector<Field>* layout = nullptr) : mode_(Mode::Measure), layout_(layout) {}
    // Checking, and noting where each field lies.
    StateStream(const uint8_t* data, size_t size, std::vector<Field>* layout) : StateStream(Mode::Check, data, size) {
        layout_ = layout;
    }

    // A stream that carries a board's registers only, not its memories
    // (the save-state block has room for nothing more).
    StateStream& registersOnly() {
        registersOnly_ = true;
        return *this;
    }
    bool onlyRegisters() const { return registersOnly_; }

    // The snapshot format version being read; only the newest is written.
    static constexpr uint32_t kNewest = 3;
    StateStream& formatVersion(uint32_t version) {
        version_ = version;
        return *this;
    }
    uint32_t version() const { return version_; }
    // Whether the finished picture travels (set when saving, read from the
    // stream when reading).
    bool picture = true;
    // Whether the stream holds a console of the hardware timing (read from
    // the stream when reading): the units then pass the state only that
    // timing has. Formats before 3 hold design consoles only.
    bool hardware = false;
    // The CPU cycle count the stream holds, for the units after the CPU
    // whose stored sizes follow from it.
    int64_t cycles = 0;

    Mode mode() const { return mode_; }
    bool saving() const { return mode_ == Mode::Save; }
    // Save or Measure: the fields' values make the stream.
    bool writing() const { return mode_ == Mode::Save || mode_ == Mode::Measure; }
    bool loading() const { return mode_ == Mode::Load; }
    bool reading() const { return mode_ == Mode::Check || mode_ == Mode::Load; }
    size_t offset() const { return offset_; }

    using ScalarFields<StateStream>::io;
    // Arrays of any value go as one block, in the same bytes as field by field.
    template <class T, size_t N>
    void io(T (&fields)[N], const char* name = nullptr) {
        if constexpr (std::is_same_v<T, bool>) {
            for (T& field : fields) io(field, name);
        } else {
            static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>, "plain values only");
            bytes(fields, sizeof fields, name);
        }
    }
    // Checked as one block (field by field while noting the layout).
    template <class T, size_t N, class L, class H>
    void io(T (&fields)[N], L lo, H hi, const char* name) {
        static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>, "plain numbers only");
        if (__builtin_expect(layout_ != nullptr, 0)) {
            for (T& field : fields) io(field, lo, hi, name);
            return;
        }
        if (mode_ != Mode::Check) {
            bytes(fields, sizeof fields, name);
            return;
        }
        T values[N];
        std::memcpy(values, take(sizeof values, name), sizeof values);
        const T low = T(lo), high = T(hi);
        bool inside = true;
        if constexpr (std::is_integral_v<T>) {
            T least = values[0], most = values[0];
            for (const T value : values) {
                least = value < least ? value : least;
                most = value > most ? value : most;
            }
            inside = least >= low && most <= high;
        } else {
            for (const T value : values) inside &= value >= low && value <= high;  // a NaN is outside
        }
        if (__builtin_expect(!inside, 0)) {
            for (const T value : values) {
                if (!(value >= low && value <= high)) outOfRange(name, value, low, high);
            }
        }
    }
    template <class T, size_t N>
    void io(std::array<T, N>& fields, const char* name = nullptr) {
        static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>, "plain numbers only");
        bytes(fields.data(), sizeof(T) * N, name);
    }

    // Raw bytes; any value is valid.
    void bytes(void* data, size_t size, const char* name = nullptr) {
        if (mode_ == Mode::Check) take(size, name);
        else transfer(data, size, name);
    }
    // Bytes that must all be below `limit` (palette values, say).
    void bytesBelow(uint8_t* data, size_t size, uint8_t limit, const char* name) {
        if (mode_ == Mode::Check) {
            if (const uint8_t* in = take(size, name); !allBelow(in, size, limit)) {
                refuse(name, "holds values of " + std::to_string(limit) + " or more");
            }
            return;
        }
        transfer(data, size, name);
    }
    // Data in 8-byte words, zero words elided: records of (u16 zero words,
    // u16 literal words, the literal words), every run of zero words
    // elided, so one content has one encoding. size must be a multiple of 8.
    void zeroRuns(uint8_t* data, size_t size, const char* name);
    // Rows of `row` values below `limit` (a power of two), such as a picture:
    // each row XORed with the one above, then literal bytes and repeats.
    void rows(uint8_t* data, size_t size, size_t row, uint8_t limit, const char* name);

    // The next `size` bytes to read in place (Check and Load only).
    [[gnu::always_inline]] const uint8_t* take(size_t size, const char* name) {
        if (__builtin_expect(layout_ != nullptr, 0)) record(size, name);
        if (__builtin_expect(size > size_ - offset_, 0)) cutOff(name);
        const uint8_t* at = data_ + offset_;
        offset_ += size;
        return at;
    }

    // A four-letter section mark, so a reader that lost its place says so.
    void tag(const char (&mark)[5]) {
        char found[4];
        std::memcpy(found, mark, 4);
        transfer(found, 4, mark);
        if (reading() && std::memcmp(found, mark, 4) != 0) missingSection(mark, offset_ - 4);
    }
    // A rule between fields, checked when reading.
    void require(bool ok, const char* what) {
        if (reading() && !ok) refused(what);
    }
    // Reading must use up the stream exactly.
    void finish() {
        if (reading() && offset_ != size_) {
            throw SnapshotError("snapshot refused: " + std::to_string(size_ - offset_) +
                                " bytes are left over after its last field");
        }
    }

    // The stream as seen with its mode fixed at compile time (Save, Check or
    // Load, not noting the layout). Same members as the stream; see below.
    template <Mode M>
    class Fixed;
    // Calls unit(s) with `s` this stream's Fixed view when there is one for
    // its mode, else with the stream itself. A unit's serialize hands its
    // fields to a generic lambda this way, so each mode gets its own copy
    // of them without a test of the mode at each field, and with the
    // position in a register: a store into a field may alias any byte, so
    // the stream's own members are read again after each one, while a local
    // view's are not.
    template <class Unit>
    void withMode(Unit&& unit);

private:
    friend class ScalarFields<StateStream>;
    // Room for `size` bytes at the end of a saving stream.
    [[gnu::always_inline]] uint8_t* room(size_t size) {
        if (__builtin_expect(size > size_ - offset_, 0)) grow(size);
        return data_ + offset_;
    }
    [[gnu::cold, gnu::noinline]] void grow(size_t size) {
        if (!sink_) throw StreamFull();
        sink_->resize(std::max(offset_ + size, 2 * sink_->size()));
        data_ = sink_->data();
        size_ = sink_->size();
    }
    // One scalar field. The mode is read once and each mode takes its own
    // path, so the stores into the stream and into the fields (which may
    // alias anything) cost no reloading of the mode between the checks.
    template <class T, class Ok, class Refuse>
    [[gnu::always_inline]] T scalar(T& field, const char* name, Ok ok, Refuse refuse) {
        using Stored = std::conditional_t<std::is_same_v<T, bool>, uint8_t, T>;
        const Mode mode = mode_;
        if (mode == Mode::Save) {
            const Stored value = Stored(field);
            std::memcpy(room(sizeof value), &value, sizeof value);
            offset_ += sizeof value;
            return field;
        }
        if (__builtin_expect(mode == Mode::Measure, 0)) {
            record(sizeof(Stored), name);
            offset_ += sizeof(Stored);
            return field;
        }
        Stored stored;
        std::memcpy(&stored, take(sizeof stored, name), sizeof stored);
        return accept(mode == Mode::Load, field, stored, name, ok, refuse);
    }
    // A scalar read from the stream: loaded into the field (Load reads only
    // what Check accepted), or checked.
    template <class T, class Stored, class Ok, class Refuse>
    [[gnu::always_inline]] T accept(bool load, T& field, Stored stored, const char* name, Ok ok, Refuse refuse) const {
        const T value = T(stored);
        if (load) {
            field = value;
            return value;
        }
        if constexpr (std::is_same_v<T, bool>) {
            if (__builtin_expect(stored > 1, 0)) notAFlag(name, stored);
        }
        if (__builtin_expect(!ok(value), 0)) refuse(value);
        return value;
    }
    // Scalars pass a copy, so Check may read into it; arrays pass the field.
    // Inlined, so the copy has a fixed size: this runs for every field.
    [[gnu::always_inline]] void transfer(void* field, size_t size, const char* name) {
        if (mode_ == Mode::Save) {
            std::memcpy(room(size), field, size);
            offset_ += size;
        } else if (mode_ == Mode::Measure) {
            record(size, name);
            offset_ += size;
        } else {
            std::memcpy(field, take(size, name), size);
        }
    }
    // The refusals, out of line so that the fields' own code stays small.
    [[noreturn, gnu::cold, gnu::noinline]] void notAFlag(const char* name, uint8_t byte) const {
        refuse(name, "holds " + std::to_string(byte) + " where a flag (0 or 1) belongs");
    }
    template <class T>
    [[noreturn, gnu::cold, gnu::noinline]] void outOfRange(const char* name, T value, T lo, T hi) const {
        refuse(name, "is " + text(value) + ", outside " + text(lo) + " to " + text(hi));
    }
    size_t readCount(const uint8_t*& in, const uint8_t* end, const char* name) const;
    [[noreturn, gnu::cold, gnu::noinline]] static void missingSection(const char* mark, size_t at) {
        throw SnapshotError(std::string("snapshot section ") + mark + " is missing at byte " + std::to_string(at));
    }
    [[noreturn, gnu::cold, gnu::noinline]] static void refused(const char* what) {
        throw SnapshotError(std::string("snapshot refused: ") + what);
    }
    [[noreturn, gnu::cold, gnu::noinline]] void cutOff(const char* name) const {
        refuse(name, "is cut off: the snapshot ends inside it");
    }
    void record(size_t size, const char* name) { recordAt(offset_, size, name); }
    void recordAt(size_t offset, size_t size, const char* name) {
        if (layout_) layout_->push_back(Field{offset, size, name});
    }
    [[noreturn, gnu::cold, gnu::noinline]] void refuse(const char* name, const std::string& what) const {
        throw SnapshotError("snapshot refused: " + std::string(name ? name : "a field") + " " + what);
    }
    static bool allBelow(const uint8_t* in, size_t size, uint8_t limit) {
        uint8_t worst = 0;
        for (size_t i = 0; i < size; ++i) worst = in[i] > worst ? in[i] : worst;
        return size == 0 || worst < limit;
    }
    template <class T>
    static std::string text(T value) {
        if constexpr (std::is_same_v<T, bool>) return value ? "1" : "0";
        else if constexpr (std::is_floating_point_v<T>) return std::to_string(value);
        else if constexpr (std::is_enum_v<T>) return std::to_string(int64_t(value));
        else if constexpr (std::is_signed_v<T>) return std::to_string(int64_t(value));
        else return std::to_string(uint64_t(value));
    }

    Mode mode_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t offset_ = 0;
    std::vector<Field>* layout_ = nullptr;
    std::vector<uint8_t>* sink_ = nullptr;
    bool registersOnly_ = false;
    uint32_t version_ = kNewest;
};

template <StateStream::Mode M>
class StateStream::Fixed : public ScalarFields<Fixed<M>> {
public:
    [[gnu::always_inline]] explicit Fixed(StateStream& base)
        : picture(base.picture), hardware(base.hardware), cycles(base.cycles), base_(base) {
        load();
    }
    [[gnu::always_inline]] ~Fixed() { flush(); }
    Fixed(const Fixed&) = delete;
    Fixed& operator=(const Fixed&) = delete;

    // For the parts that take a StateStream: brought up to date before, read
    // again after.
    [[gnu::always_inline]] operator StateStream&() {
        flush();
        stale_ = true;
        return base_;
    }

    bool& picture;
    bool& hardware;
    int64_t& cycles;

    static constexpr Mode mode() { return M; }
    static constexpr bool saving() { return M == Mode::Save; }
    static constexpr bool writing() { return M == Mode::Save; }
    static constexpr bool loading() { return M == Mode::Load; }
    static constexpr bool reading() { return M != Mode::Save; }
    uint32_t version() const { return base_.version_; }
    bool onlyRegisters() const { return base_.registersOnly_; }
    [[gnu::always_inline]] size_t offset() {
        fresh();
        return offset_;
    }

    using ScalarFields<Fixed>::io;
    template <class T, size_t N>
    [[gnu::always_inline]] void io(T (&fields)[N], const char* name = nullptr) {
        if constexpr (std::is_same_v<T, bool>) {
            for (T& field : fields) io(field, name);
        } else {
            bytes(fields, sizeof fields, name);
        }
    }
    template <class T, size_t N, class L, class H>
    [[gnu::always_inline]] void io(T (&fields)[N], L lo, H hi, const char* name) {
        if (M == Mode::Check) {
            static_cast<StateStream&>(*this).io(fields, lo, hi, name);
        } else {
            bytes(fields, sizeof fields, name);
        }
    }
    template <class T, size_t N>
    [[gnu::always_inline]] void io(std::array<T, N>& fields, const char* name = nullptr) {
        static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool>, "plain numbers only");
        bytes(fields.data(), sizeof(T) * N, name);
    }

    [[gnu::always_inline]] void bytes(void* data, size_t size, const char* name = nullptr) {
        if (M == Mode::Save) {
            std::memcpy(room(size), data, size);
            offset_ += size;
        } else if (M == Mode::Check) {
            take(size, name);
        } else {
            std::memcpy(data, take(size, name), size);
        }
    }
    void bytesBelow(uint8_t* data, size_t size, uint8_t limit, const char* name) {
        static_cast<StateStream&>(*this).bytesBelow(data, size, limit, name);
    }
    void zeroRuns(uint8_t* data, size_t size, const char* name) {
        static_cast<StateStream&>(*this).zeroRuns(data, size, name);
    }
    void rows(uint8_t* data, size_t size, size_t row, uint8_t limit, const char* name) {
        static_cast<StateStream&>(*this).rows(data, size, row, limit, name);
    }
    [[gnu::always_inline]] const uint8_t* take(size_t size, const char* name) {
        fresh();
        if (__builtin_expect(size > size_ - offset_, 0)) base_.cutOff(name);
        const uint8_t* at = data_ + offset_;
        offset_ += size;
        return at;
    }
    [[gnu::always_inline]] void tag(const char (&mark)[5]) {
        if (M == Mode::Save) {
            std::memcpy(room(4), mark, 4);
            offset_ += 4;
        } else if (__builtin_expect(std::memcmp(take(4, mark), mark, 4) != 0, 0)) {
            base_.missingSection(mark, offset_ - 4);
        }
    }
    [[gnu::always_inline]] void require(bool ok, const char* what) {
        if (reading() && __builtin_expect(!ok, 0)) base_.refused(what);
    }
    void finish() { static_cast<StateStream&>(*this).finish(); }

private:
    friend class ScalarFields<Fixed>;
    template <class T>
    [[noreturn]] void outOfRange(const char* name, T value, T lo, T hi) const {
        base_.outOfRange(name, value, lo, hi);
    }
    template <class T, class Ok, class Refuse>
    [[gnu::always_inline]] T scalar(T& field, const char* name, Ok ok, Refuse refuse) {
        using Stored = std::conditional_t<std::is_same_v<T, bool>, uint8_t, T>;
        if (M == Mode::Save) {
            const Stored value = Stored(field);
            std::memcpy(room(sizeof value), &value, sizeof value);
            offset_ += sizeof value;
            return field;
        }
        Stored stored;
        std::memcpy(&stored, take(sizeof stored, name), sizeof stored);
        return base_.accept(M == Mode::Load, field, stored, name, ok, refuse);
    }
    [[gnu::always_inline]] uint8_t* room(size_t size) {
        fresh();
        if (__builtin_expect(size > size_ - offset_, 0)) {
            base_.offset_ = offset_;
            base_.grow(size);
            load();
        }
        return data_ + offset_;
    }
    [[gnu::always_inline]] void load() {
        data_ = base_.data_;
        size_ = base_.size_;
        offset_ = base_.offset_;
        stale_ = false;
    }
    [[gnu::always_inline]] void fresh() {
        if (__builtin_expect(stale_, 0)) load();
    }
    [[gnu::always_inline]] void flush() {
        if (!stale_) base_.offset_ = offset_;
    }

    StateStream& base_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t offset_ = 0;
    bool stale_ = false;
};

template <class Unit>
void StateStream::withMode(Unit&& unit) {
    if (layout_ == nullptr) {
        switch (mode_) {
            case Mode::Save: {
                Fixed<Mode::Save> s(*this);
                unit(s);
                return;
            }
            case Mode::Check: {
                Fixed<Mode::Check> s(*this);
                unit(s);
                return;
            }
            case Mode::Load: {
                Fixed<Mode::Load> s(*this);
                unit(s);
                return;
            }
            case Mode::Measure: break;
        }
    }
    unit(*this);
}
