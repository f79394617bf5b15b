// velkora_gym._native: translates between Python and the core's complete
// snapshots and batch of consoles.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "batch/env_batch.h"
#include "bindings/py_nes.h"
#include "cartridge/cartridge.h"
#include "cartridge/mappers/boards.h"
#include "state/snapshot.h"

namespace py = pybind11;
using velkora_binding::PyNES;
using velkora_binding::RunThreadHold;

namespace {

// The console behind a velkora.NES object.
PyNES& consoleOf(py::handle nes) {
    // Looked up once: snapshots are taken at every node of a search. The
    // reference is kept for the life of the process, as the module is.
    static const py::handle type = py::object(py::module_::import("velkora").attr("NES")).release();
    static const py::detail::type_info* const info = py::detail::get_type_info(typeid(PyNES));
    if (!py::isinstance(nes, type)) {
        throw py::type_error("expected a velkora.NES, got " +
                             std::string(py::str(py::type::handle_of(nes).attr("__name__"))));
    }
    // The instance's own record, without the type caster's lookups (a tenth
    // of a compact snapshot's time).
    const py::detail::value_and_holder held =
        reinterpret_cast<py::detail::instance*>(nes.ptr())->get_value_and_holder(info);
    // An object made by __new__ without __init__ has no console behind it.
    if (!held.instance_registered() || !held.value_ptr()) {
        throw py::type_error("NES object is not initialised: its __init__ was not called");
    }
    return *held.value_ptr<PyNES>();
}

// A bytes object in place; any other buffer is copied first, so nobody can
// change the bytes between the checks and the load.
class SnapshotBytes {
public:
    explicit SnapshotBytes(py::handle data) {
        if (PyBytes_Check(data.ptr())) {
            held_ = py::reinterpret_borrow<py::bytes>(data);
            data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data.ptr()));
            size_ = size_t(PyBytes_GET_SIZE(data.ptr()));
            return;
        }
        if (!PyObject_CheckBuffer(data.ptr())) {
            throw py::type_error("a snapshot is bytes (or a bytes-like object), not " +
                                 std::string(py::str(py::type::handle_of(data).attr("__name__"))));
        }
        const py::buffer_info info = py::reinterpret_borrow<py::buffer>(data).request();
        if (info.itemsize != 1 || info.ndim != 1 || info.strides[0] != 1) {
            throw py::type_error("a snapshot buffer must be contiguous bytes");
        }
        copy_.assign(static_cast<const uint8_t*>(info.ptr), static_cast<const uint8_t*>(info.ptr) + info.size);
        data_ = copy_.data();
        size_ = copy_.size();
    }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    py::object held_;
    std::vector<uint8_t> copy_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// One buffer per thread for writing snapshots, so taking one allocates
// nothing but the bytes object.
std::vector<uint8_t>& snapshotScratch() {
    static thread_local std::vector<uint8_t> scratch;
    return scratch;
}

py::bytes bytesOf(const std::vector<uint8_t>& data, size_t size) {
    return py::reinterpret_steal<py::bytes>(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), py::ssize_t(size)));
}

// Runs `work` with the console to itself. Without a run thread nothing else
// can step it, and none can start while the interpreter lock is held: a few
// microseconds of work then keep the lock rather than pay for passing it.
template <class Work>
void withConsole(PyNES& unit, Work work) {
    if (!unit.threadActive.load()) {
        work();
        return;
    }
    py::gil_scoped_release release;
    RunThreadHold hold(unit);
    work();
}

py::bytes snapshotOf(py::handle nes, bool picture) {
    PyNES& unit = consoleOf(nes);
    // Written straight into the bytes object, made a little larger than the
    // last snapshot this thread took (with or without the picture) and then
    // shrunk in place, which saves copying it; one that does not fit goes
    // through the scratch buffer. Close sizes let the allocator hand back
    // the block of the snapshot before, still in the cache.
    // A hint only, shared by the threads: no thread-local lookup per call.
    static std::atomic<size_t> last[2] = {8192, 32768};
    constexpr size_t kMostInPlace = 98304;  // shrinking larger blocks may move them
    const size_t before = last[picture].load(std::memory_order_relaxed);
    const size_t capacity = std::min(before + before / 8 + 512, kMostInPlace);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, py::ssize_t(capacity));
    if (!out) throw py::error_already_set();
    py::bytes held = py::reinterpret_steal<py::bytes>(out);
    size_t size = 0;
    withConsole(unit, [&] {
        size = writeSnapshot(unit, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out)), capacity, picture);
    });
    if (size == 0) {
        std::vector<uint8_t>& scratch = snapshotScratch();
        withConsole(unit, [&] { size = writeSnapshot(unit, scratch, picture); });
        last[picture].store(size, std::memory_order_relaxed);
        py::bytes copy = bytesOf(scratch, size);
        if (!copy) throw py::error_already_set();
        return copy;
    }
    if (size != before) last[picture].store(size, std::memory_order_relaxed);
    out = held.release().ptr();
    if (_PyBytes_Resize(&out, py::ssize_t(size)) != 0) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(out);
}

void restoreInto(py::handle nes, py::handle data) {
    PyNES& unit = consoleOf(nes);
    const SnapshotBytes bytes(data);
    withConsole(unit, [&] { restoreSnapshot(unit, bytes.data(), bytes.size()); });
}

// snapshot and restore as plain CPython fast calls: a search calls them at
// every node, where pybind11's dispatch, a Python wrapper for the keyword
// and its bool() were a tenth of a compact snapshot's time. The first
// `positional` arguments by position or by name, the rest by name only, as
// Python takes them; those past `required` may be left out (nullptr). Any
// exception is translated as pybind11 does.
template <size_t N>
bool parseArguments(const char* function, const std::array<const char*, N>& names, size_t positional, size_t required,
                    PyObject* const* args, Py_ssize_t count, PyObject* keywords, std::array<PyObject*, N>& out) {
    out.fill(nullptr);
    if (size_t(count) > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given", function, positional,
                     positional == 1 ? "" : "s", count);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[size_t(i)] = args[i];
    const Py_ssize_t named = keywords ? PyTuple_GET_SIZE(keywords) : 0;
    for (Py_ssize_t k = 0; k < named; ++k) {
        PyObject* key = PyTuple_GET_ITEM(keywords, k);
        size_t at = N;
        for (size_t i = 0; i < N; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) at = i;
        }
        if (at == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (out[at]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[at]);
            return false;
        }
        out[at] = args[count + k];
    }
    for (size_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, names[i]);
            return false;
        }
    }
    return true;
}

PyObject* snapshotCall(PyObject*, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    std::array<PyObject*, 2> given;
    if (!parseArguments<2>("snapshot", {"nes", "picture"}, 1, 1, args, count, keywords, given)) return nullptr;
    const int picture = given[1] ? PyObject_IsTrue(given[1]) : 1;
    if (picture < 0) return nullptr;
    try {
        return snapshotOf(given[0], picture != 0).release().ptr();
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

PyObject* restoreCall(PyObject*, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
    std::array<PyObject*, 2> given;
    if (!parseArguments<2>("restore", {"nes", "data"}, 2, 2, args, count, keywords, given)) return nullptr;
    try {
        restoreInto(given[0], given[1]);
        Py_RETURN_NONE;
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

PyMethodDef snapshotMethod = {"snapshot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(snapshotCall)),
                              METH_FASTCALL | METH_KEYWORDS,
                              "snapshot(nes, *, picture=True)\n--\n\n"
                              "Everything of the console ``nes`` (a ``velkora.NES``) that can influence what it does\n"
                              "later, as bytes: a few kilobytes, taken in microseconds.\n\n"
                              "With ``picture=False`` the finished picture is left out: ``restore`` then leaves the\n"
                              "picture on show (``getImg``) as it was until the console finishes its next frame. The\n"
                              "frames that follow a restore are bit-identical either way; a snapshot taken during\n"
                              "vertical blank carries the picture regardless, since the frame it belongs to is not\n"
                              "finished yet. With ``picture=True`` a restore repaints the saved picture at once, so\n"
                              "``getImg()`` views held across it show it."};
PyMethodDef restoreMethod = {"restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restoreCall)),
                             METH_FASTCALL | METH_KEYWORDS,
                             "restore(nes, data)\n--\n\n"
                             "Brings the console back to a snapshot; ValueError, and no change, if it is refused."};

void powerOnConsole(py::handle nes) {
    PyNES& unit = consoleOf(nes);
    withConsole(unit, [&] { unit.powerOn(); });
}

ObservationKind kindNamed(const std::string& kind) {
    if (kind == "rgb") return ObservationKind::Rgb;
    if (kind == "grayscale") return ObservationKind::Grayscale;
    if (kind == "none") return ObservationKind::None;
    throw py::value_error("obs_type must be \"rgb\", \"grayscale\" or None, got \"" + kind + "\"");
}

py::bytes toBytes(const std::vector<uint8_t>& data) {
    return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

// The batch as Python holds it.
class PyBatch {
public:
    PyBatch(py::bytes image, int consoles, int threads, const std::string& kind, int height, int width, bool maxPool,
            bool audio, bool prgRam, std::array<int, 4> crop, bool hardware) {
        if (consoles < 1) throw py::value_error("num_consoles must be at least 1, got " + std::to_string(consoles));
        if (threads < 0) throw py::value_error("threads must be at least 1, got " + std::to_string(threads));
        ConsoleBatch::Options options;
        options.threads = threads;
        options.audio = audio;
        options.prgRam = prgRam;
        options.timing = hardware ? Timing::Hardware : Timing::Design;
        options.observation.kind = kindNamed(kind);
        options.observation.height = height;
        options.observation.width = width;
        options.observation.maxPool = maxPool;
        options.observation.cropX = crop[0];
        options.observation.cropY = crop[1];
        options.observation.cropWidth = crop[2];
        options.observation.cropHeight = crop[3];
        const std::string text = image;
        const std::vector<uint8_t> bytes(text.begin(), text.end());
        py::gil_scoped_release release;
        batch_ = std::make_unique<ConsoleBatch>(bytes, size_t(consoles), options);
    }

    py::array observations(py::handle self) {
        std::vector<py::ssize_t> shape = {py::ssize_t(batch_->size())};
        for (size_t extent : batch_->format().shape()) shape.push_back(py::ssize_t(extent));
        if (shape.size() == 1) shape.push_back(0);
        return py::array_t<uint8_t>(shape, batch_->observations(), self);
    }
    py::array ram(py::handle self) {
        return py::array_t<uint8_t>({py::ssize_t(batch_->size()), py::ssize_t(ConsoleBatch::kRamBytes)}, batch_->ram(),
                                    self);
    }
    py::object prgRam(py::handle self) {
        if (!batch_->hasPrgRam()) return py::none();
        return py::array_t<uint8_t>({py::ssize_t(batch_->size()), py::ssize_t(ConsoleBatch::kPrgRamBytes)},
                                    batch_->prgRam(), self);
    }
    py::array picture(py::ssize_t index) {
        const size_t i = checked(index);
        py::array_t<uint8_t> out({PPU::kHeight, PPU::kWidth, 3});
        uint8_t* data = out.mutable_data();
        {
            py::gil_scoped_release release;
            batch_->picture(i, data);
        }
        return out;
    }

    // pad1/pad2: (N,) or (N, F) uint8; frames: an int or (N,) int32.
    void step(py::array pad1, py::object pad2, py::object frames, py::object active) {
        ConsoleBatch::Step step;
        const auto first = masks(pad1, "buttons");
        step.pad1 = first.first;
        step.stride = first.second;
        py::array second;
        if (!pad2.is_none()) {
            if (!py::isinstance<py::array>(pad2)) throw py::type_error("buttons2 must be a NumPy array of uint8");
            second = pad2.cast<py::array>();
            const auto other = masks(second, "buttons2");
            if (other.second != step.stride) throw py::value_error("buttons2 must have the shape of buttons");
            step.pad2 = other.first;
        }
        py::array_t<int32_t> counts;
        if (py::isinstance<py::int_>(frames) && !py::isinstance<py::bool_>(frames)) {
            const long long n = frames.cast<long long>();
            if (n < 1 || n > (1 << 30)) throw py::value_error("frames must be at least 1, got " + std::to_string(n));
            step.allFrames = int32_t(n);
        } else if (py::isinstance<py::array>(frames)) {
            py::array given = frames.cast<py::array>();
            if (given.ndim() != 1 || size_t(given.shape(0)) != batch_->size() || given.dtype().kind() != 'i') {
                throw py::value_error("frames must be an int or a (" + std::to_string(batch_->size()) +
                                      ",) array of integers");
            }
            counts = py::array_t<int32_t, py::array::c_style | py::array::forcecast>(given);
            step.frames = counts.data();
        } else {
            throw py::type_error("frames must be an int or an array of integers");
        }
        py::array_t<uint8_t> running;
        if (!active.is_none()) {
            running = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>(active);
            if (running.ndim() != 1 || size_t(running.shape(0)) != batch_->size()) {
                throw py::value_error("active must hold one flag per console");
            }
            step.active = running.data();
        }
        py::gil_scoped_release release;
        batch_->step(step);
    }

    py::bytes snapshot(py::ssize_t index, bool picture) {
        const size_t i = checked(index);
        std::vector<uint8_t> data;
        {
            py::gil_scoped_release release;
            data = batch_->snapshot(i, picture);
        }
        return toBytes(data);
    }
    py::list snapshots(const std::vector<py::ssize_t>& indices, bool picture) {
        std::vector<size_t> which;
        for (py::ssize_t index : indices) which.push_back(checked(index));
        std::vector<size_t> sizes;
        {
            py::gil_scoped_release release;
            batch_->snapshots(which, picture, scratch_, sizes);
        }
        py::list out;
        for (size_t k = 0; k < which.size(); ++k) {
            py::bytes data = bytesOf(scratch_[k], sizes[k]);
            if (!data) throw py::error_already_set();
            out.append(data);
        }
        return out;
    }
    void restoreMany(const std::vector<py::ssize_t>& indices, py::sequence datas) {
        std::vector<size_t> which;
        for (py::ssize_t index : indices) which.push_back(checked(index));
        std::vector<SnapshotBytes> held;
        held.reserve(size_t(py::len(datas)));
        for (py::handle data : datas) held.emplace_back(data);
        std::vector<ConsoleBatch::Snapshot> snapshots;
        for (const SnapshotBytes& bytes : held) snapshots.push_back({bytes.data(), bytes.size()});
        py::gil_scoped_release release;
        batch_->restoreMany(which, snapshots);
    }
    void restore(py::ssize_t index, py::handle data) {
        const size_t i = checked(index);
        const SnapshotBytes bytes(data);
        py::gil_scoped_release release;
        batch_->restore(i, bytes.data(), bytes.size());
    }
    void powerOn(py::ssize_t index, bool hardware) {
        const size_t i = checked(index);
        py::gil_scoped_release release;
        batch_->powerOn(i, hardware ? Timing::Hardware : Timing::Design);
    }
    void reset(const std::vector<py::ssize_t>& indices, py::handle data, const std::vector<int32_t>& noops) {
        std::vector<size_t> which;
        for (py::ssize_t index : indices) which.push_back(checked(index));
        if (!noops.empty() && noops.size() != which.size()) {
            throw py::value_error("noop_frames must give one count per console reset");
        }
        std::unique_ptr<SnapshotBytes> bytes;
        if (!data.is_none()) bytes = std::make_unique<SnapshotBytes>(data);
        py::gil_scoped_release release;
        batch_->reset(which, bytes ? bytes->data() : nullptr, bytes ? bytes->size() : 0,
                      noops.empty() ? nullptr : noops.data());
    }

    void softReset(const std::vector<py::ssize_t>& indices) {
        std::vector<size_t> which;
        for (py::ssize_t index : indices) which.push_back(checked(index));
        py::gil_scoped_release release;
        batch_->softReset(which);
    }
    bool hardwareTiming(py::ssize_t index) { return batch_->timing(checked(index)) == Timing::Hardware; }
    bool hardwarePowerOn() const { return batch_->timing() == Timing::Hardware; }

    py::list audio(py::ssize_t index, bool split) {
        const size_t i = checked(index);
        std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks> blocks;
        bool ready;
        {
            py::gil_scoped_release release;
            ready = batch_->takeAudio(i, blocks);
        }
        py::list out;
        const int count = ready && split ? batch_->console(i).apu->channelBlocks() : 1;
        for (int k = 0; k < count; ++k) {
            out.append(ready ? py::bytes(reinterpret_cast<const char*>(blocks[size_t(k)].data()), sizeof blocks[0])
                             : py::bytes());
        }
        return out;
    }

    int64_t frameCount(py::ssize_t index) { return batch_->console(checked(index)).frameCount(); }
    int64_t cycleCount(py::ssize_t index) { return batch_->console(checked(index)).cycleCount(); }
    size_t size() const { return batch_->size(); }
    int threads() const { return batch_->threads(); }
    bool audioOn() const { return batch_->audio(); }

    ConsoleBatch& native() { return *batch_; }

private:
    size_t checked(py::ssize_t index) const {
        const py::ssize_t n = py::ssize_t(batch_->size());
        if (index < -n || index >= n) {
            throw py::index_error("console " + std::to_string(index) + " is not in a batch of " + std::to_string(n));
        }
        return size_t(index < 0 ? index + n : index);
    }
    // The masks' data and how many a console has.
    std::pair<const uint8_t*, size_t> masks(const py::array& a, const char* name) const {
        if (!py::isinstance<py::array_t<uint8_t>>(a) || a.dtype().itemsize() != 1 || a.dtype().kind() != 'u') {
            throw py::type_error(std::string(name) + " must be a NumPy array of uint8, got dtype " +
                                 std::string(py::str(a.dtype())));
        }
        const size_t n = batch_->size();
        const bool flat = a.ndim() == 1 && size_t(a.shape(0)) == n;
        const bool perFrame = a.ndim() == 2 && size_t(a.shape(0)) == n && a.shape(1) >= 1;
        if (!flat && !perFrame) {
            throw py::value_error(
                std::string(name) + " must have shape (" + std::to_string(n) + ",) or (" + std::to_string(n) +
                ", frames), got " +
                std::string(py::str(py::tuple(py::cast(std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()))))));
        }
        if (!(a.flags() & py::array::c_style)) throw py::value_error(std::string(name) + " must be C-contiguous");
        return {static_cast<const uint8_t*>(a.data()), flat ? 1 : size_t(a.shape(1))};
    }

    std::unique_ptr<ConsoleBatch> batch_;
    // Reused for every snapshots() call, so the workers write without allocating.
    std::vector<std::vector<uint8_t>> scratch_;
};

// A game's rules from Python's plain description (velkora_gym.envs builds it).
GameRules::Condition conditionOf(const py::tuple& spec) {
    static const std::map<std::string, GameRules::Op> ops = {{"equal", GameRules::Op::Equal},
                                                             {"not-equal", GameRules::Op::NotEqual},
                                                             {"less-than", GameRules::Op::LessThan},
                                                             {"greater-than", GameRules::Op::GreaterThan},
                                                             {"less-or-equal", GameRules::Op::LessOrEqual},
                                                             {"greater-or-equal", GameRules::Op::GreaterOrEqual},
                                                             {"zero", GameRules::Op::Zero},
                                                             {"nonzero", GameRules::Op::Nonzero},
                                                             {"positive", GameRules::Op::Positive},
                                                             {"negative", GameRules::Op::Negative}};
    GameRules::Condition condition;
    condition.all = spec[0].cast<std::string>() == "all";
    for (py::handle test : spec[1].cast<py::list>()) {
        const auto t = test.cast<py::tuple>();
        const auto op = ops.find(t[1].cast<std::string>());
        if (op == ops.end()) throw py::value_error("no such op: " + t[1].cast<std::string>());
        condition.tests.push_back({t[0].cast<int>(), op->second, t[2].cast<double>(), t[3].cast<bool>()});
    }
    for (py::handle node : spec[2].cast<py::list>()) condition.nodes.push_back(conditionOf(node.cast<py::tuple>()));
    return condition;
}

GameRules rulesOf(const py::dict& spec) {
    GameRules rules;
    for (py::handle variable : spec["variables"].cast<py::list>()) {
        const auto v = variable.cast<py::tuple>();
        const std::string kind = v[2].cast<std::string>();
        const GameRules::Kind k = kind == "u"   ? GameRules::Kind::Unsigned
                                  : kind == "i" ? GameRules::Kind::Signed
                                  : kind == "d" ? GameRules::Kind::PackedDecimal
                                                : GameRules::Kind::DecimalDigits;
        const int size = v[1].cast<int>();
        if (size < 1 || size > 255) throw py::value_error("a variable takes 1 to 255 bytes");
        rules.variables.push_back({v[0].cast<uint16_t>(), uint8_t(size), k, v[3].cast<bool>()});
    }
    for (py::handle term : spec["rewards"].cast<py::list>()) {
        const auto t = term.cast<py::tuple>();
        rules.rewards.push_back({t[0].cast<int>(), t[1].cast<double>(), t[2].cast<double>()});
    }
    rules.done = conditionOf(spec["done"].cast<py::tuple>());
    rules.lives = spec["lives"].cast<int>();
    return rules;
}

// Environments on a batch held by Python: the batch stays alive with them.
class PyEnvironments {
public:
    PyEnvironments(py::object batch, const py::dict& rules, const py::dict& o, py::object start) : batch_(batch) {
        EnvBatch::Options options;
        options.skipLow = o["skip_low"].cast<int32_t>();
        options.skipHigh = o["skip_high"].cast<int32_t>();
        options.sticky = o["sticky"].cast<double>();
        options.noopMax = o["noop_max"].cast<int32_t>();
        options.startFrames = o["start_frames"].cast<int32_t>();
        options.maxEpisodeFrames = o["max_episode_frames"].cast<int64_t>();
        options.frameStack = o["frame_stack"].cast<int32_t>();
        options.episodicLife = o["episodic_life"].cast<bool>();
        options.clipRewards = o["clip_rewards"].cast<bool>();
        options.judge = o["judge"].cast<bool>();
        const std::string mode = o["autoreset"].cast<std::string>();
        options.autoreset = mode == "same-step"  ? EnvBatch::Autoreset::SameStep
                            : mode == "disabled" ? EnvBatch::Autoreset::Disabled
                                                 : EnvBatch::Autoreset::NextStep;
        std::vector<uint8_t> snapshot;
        if (!start.is_none()) {
            const std::string bytes = start.cast<py::bytes>();
            snapshot.assign(bytes.begin(), bytes.end());
        }
        ConsoleBatch& consoles = batch.cast<PyBatch&>().native();
        if (!snapshot.empty()) checkSnapshot(consoles.console(0), snapshot.data(), snapshot.size());
        envs_ = std::make_unique<EnvBatch>(consoles, rulesOf(rules), options, std::move(snapshot));
    }

    void seed(size_t env, uint64_t seed) { envs_->seed(checked(env), seed); }
    void reset(const std::vector<size_t>& envs) {
        py::gil_scoped_release release;
        envs_->reset(envs);
    }
    void step(py::array_t<uint8_t, py::array::c_style> masks, py::object masks2) {
        const uint8_t* first = rowOf(masks, envs_->size(), "masks");
        py::array_t<uint8_t, py::array::c_style> second;
        const uint8_t* other = nullptr;
        if (!masks2.is_none()) {
            second = masks2.cast<py::array_t<uint8_t, py::array::c_style>>();
            other = rowOf(second, envs_->size(), "masks2");
        }
        py::gil_scoped_release release;
        envs_->step(first, other);
    }
    void endEpisodes(const std::vector<size_t>& envs) {
        py::gil_scoped_release release;
        envs_->endEpisodes(envs);
    }
    void restored(size_t env) { envs_->restored(checked(env)); }
    void send(const std::vector<size_t>& envs, py::array_t<uint8_t, py::array::c_style> masks, py::object masks2) {
        const uint8_t* first = rowOf(masks, envs.size(), "masks");
        py::array_t<uint8_t, py::array::c_style> second;
        const uint8_t* other = nullptr;
        if (!masks2.is_none()) {
            second = masks2.cast<py::array_t<uint8_t, py::array::c_style>>();
            other = rowOf(second, envs.size(), "masks2");
        }
        envs_->send(envs, first, other);
    }
    py::array_t<int64_t> receive(size_t count) {
        std::vector<size_t> ids;
        {
            py::gil_scoped_release release;
            ids = envs_->receive(count);
        }
        py::array_t<int64_t> out(py::ssize_t(ids.size()));
        for (size_t k = 0; k < ids.size(); ++k) out.mutable_at(py::ssize_t(k)) = int64_t(ids[k]);
        return out;
    }
    size_t inFlight() { return envs_->inFlight(); }
    py::array_t<uint16_t> pressed(size_t env) {
        const std::vector<uint16_t>& masks = envs_->pressed(checked(env));
        return py::array_t<uint16_t>(py::ssize_t(masks.size()), masks.data());
    }

    // Views of the outputs; each step rewrites them.
    py::object observations(py::handle self) {
        return view<uint8_t>(self, envs_->observations(), {envs_->size(), envs_->observationBytes()});
    }
    py::object finalObservations(py::handle self) {
        if (envs_->options().autoreset != EnvBatch::Autoreset::SameStep) return py::none();
        return view<uint8_t>(self, envs_->finalObservations(), {envs_->size(), envs_->observationBytes()});
    }
    py::object rewards(py::handle self) { return view<double>(self, envs_->rewards(), {envs_->size()}); }
    py::object terminated(py::handle self) { return flags(self, envs_->terminated()); }
    py::object truncated(py::handle self) { return flags(self, envs_->truncated()); }
    py::object ended(py::handle self) { return flags(self, envs_->ended()); }
    py::object started(py::handle self) { return flags(self, envs_->started()); }
    py::object values(py::handle self) {
        return view<int64_t>(self, envs_->values(), {envs_->size(), envs_->variableCount()});
    }
    py::object finalValues(py::handle self) {
        if (envs_->options().autoreset != EnvBatch::Autoreset::SameStep) return py::none();
        return view<int64_t>(self, envs_->finalValues(), {envs_->size(), envs_->variableCount()});
    }
    py::object finalEpisodeFrames(py::handle self) {
        if (envs_->options().autoreset != EnvBatch::Autoreset::SameStep) return py::none();
        return view<int64_t>(self, envs_->finalEpisodeFrames(), {envs_->size()});
    }
    py::object finalRam(py::handle self) {
        if (envs_->finalRam() == nullptr) return py::none();
        return view<uint8_t>(self, envs_->finalRam(), {envs_->size(), ConsoleBatch::kRamBytes});
    }
    py::object finalPrgRam(py::handle self) {
        if (envs_->finalPrgRam() == nullptr) return py::none();
        return view<uint8_t>(self, envs_->finalPrgRam(), {envs_->size(), ConsoleBatch::kPrgRamBytes});
    }
    py::object episodeFrames(py::handle self) { return view<int64_t>(self, envs_->episodeFrames(), {envs_->size()}); }

private:
    size_t checked(size_t env) const {
        if (env >= envs_->size()) {
            throw py::index_error("environment " + std::to_string(env) + " is not in " + std::to_string(envs_->size()));
        }
        return env;
    }
    static const uint8_t* rowOf(const py::array& a, size_t n, const char* name) {
        if (a.ndim() != 1 || size_t(a.shape(0)) != n) {
            throw py::value_error(std::string(name) + " must hold " + std::to_string(n) + " joypad masks");
        }
        return static_cast<const uint8_t*>(a.data());
    }
    template <class T>
    static py::array view(py::handle self, const T* data, std::vector<size_t> shape) {
        std::vector<py::ssize_t> extents(shape.begin(), shape.end());
        return py::array_t<T>(extents, data, self);
    }
    py::array flags(py::handle self, const uint8_t* data) const {
        // One byte each, 0 or 1: NumPy's bools.
        return py::array(py::dtype::of<bool>(), {py::ssize_t(envs_->size())}, {py::ssize_t(1)}, data, self);
    }

    py::object batch_;
    std::unique_ptr<EnvBatch> envs_;
};

// A method that hands out an array over the object's own memory, bound so
// that the array's base is the object: the array keeps it alive.
template <class T, class R>
auto arrayOf(R (T::*method)(py::handle)) {
    return [method](T& object) { return (object.*method)(py::cast(&object, py::return_value_policy::reference)); };
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    // The type of velkora.NES must be registered before a console is passed in.
    py::module_::import("velkora");

    // velkora_gym.snapshot and restore themselves.
    for (PyMethodDef* method : {&snapshotMethod, &restoreMethod}) {
        m.add_object(method->ml_name,
                     py::reinterpret_steal<py::object>(PyCFunction_NewEx(method, nullptr, m.attr("__name__").ptr())));
    }
    m.def("power_on", &powerOnConsole, py::arg("nes"),
          "The machine a new console of its cartridge is, in its timing; battery RAM cleared.");
    m.attr("SNAPSHOT_VERSION") = kSnapshotVersion;
    m.def(
        "set_timing",
        [](py::handle nes, bool hardware) {
            PyNES& unit = consoleOf(nes);
            withConsole(unit, [&] { unit.setTiming(hardware ? Timing::Hardware : Timing::Design); });
        },
        py::arg("nes"), py::arg("hardware"), "Runs the console in the hardware timing (True) or the design one.");
    m.def(
        "hardware_timing", [](py::handle nes) { return consoleOf(nes).timing() == Timing::Hardware; }, py::arg("nes"),
        "Whether the console runs the hardware timing.");
    m.def(
        "soft_reset",
        [](py::handle nes) {
            PyNES& unit = consoleOf(nes);
            withConsole(unit, [&] { unit.softReset(); });
        },
        py::arg("nes"), "Presses the console's reset button.");
    m.def(
        "snapshot_hardware_timing",
        [](py::handle data) {
            const SnapshotBytes bytes(data);
            return snapshotTiming(bytes.data(), bytes.size()) == Timing::Hardware;
        },
        py::arg("data"), "Whether a snapshot restores the hardware timing; ValueError if it is no snapshot.");
    m.def(
        "check_board",
        [](py::bytes image) {
            const std::string bytes = image;
            Cartridge cartridge;
            cartridge.verbose = false;
            cartridge.loadImage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            cartridge.requireEmulatedBoard();
        },
        py::arg("image"), "ValueError naming the mapper number when the image's board is not emulated.");
    m.attr("EMULATED_MAPPERS") = NES::emulatedMappers();

    py::class_<PyBatch>(m, "Batch")
        .def(py::init<py::bytes, int, int, const std::string&, int, int, bool, bool, bool, std::array<int, 4>, bool>(),
             py::arg("image"), py::arg("num_consoles"), py::arg("threads"), py::arg("obs_type"), py::arg("height"),
             py::arg("width"), py::arg("max_pool"), py::arg("audio"), py::arg("prg_ram"), py::arg("crop"),
             py::arg("hardware"))
        // The arrays' base is the batch, so an array keeps the batch alive.
        .def("observations", arrayOf(&PyBatch::observations))
        .def("ram", arrayOf(&PyBatch::ram))
        .def("prg_ram", arrayOf(&PyBatch::prgRam))
        .def("picture", &PyBatch::picture, py::arg("index"))
        .def("step", &PyBatch::step, py::arg("buttons"), py::arg("buttons2"), py::arg("frames"), py::arg("active"))
        .def("snapshot", &PyBatch::snapshot, py::arg("index"), py::arg("picture"))
        .def("snapshots", &PyBatch::snapshots, py::arg("indices"), py::arg("picture"))
        .def("restore_many", &PyBatch::restoreMany, py::arg("indices"), py::arg("datas"))
        .def("restore", &PyBatch::restore, py::arg("index"), py::arg("data"))
        .def("reset", &PyBatch::reset, py::arg("indices"), py::arg("data"), py::arg("noop_frames"))
        .def("soft_reset", &PyBatch::softReset, py::arg("indices"))
        .def("hardware_timing", &PyBatch::hardwareTiming, py::arg("index"))
        .def_property_readonly("hardware_power_on", &PyBatch::hardwarePowerOn)
        .def("power_on", &PyBatch::powerOn, py::arg("index"), py::arg("hardware"))
        .def("get_audio", &PyBatch::audio, py::arg("index"), py::arg("split_channels"))
        .def("frame_count", &PyBatch::frameCount, py::arg("index"))
        .def("cycle_count", &PyBatch::cycleCount, py::arg("index"))
        .def_property_readonly("num_consoles", &PyBatch::size)
        .def_property_readonly("threads", &PyBatch::threads)
        .def_property_readonly("audio", &PyBatch::audioOn);

    py::class_<PyEnvironments> environments(m, "Environments");
    environments
        .def(py::init<py::object, const py::dict&, const py::dict&, py::object>(), py::arg("batch"), py::arg("rules"),
             py::arg("options"), py::arg("start"))
        .def("seed", &PyEnvironments::seed, py::arg("env"), py::arg("seed"))
        .def("reset", &PyEnvironments::reset, py::arg("envs"))
        .def("step", &PyEnvironments::step, py::arg("masks"), py::arg("masks2"))
        .def("end_episodes", &PyEnvironments::endEpisodes, py::arg("envs"))
        .def("restored", &PyEnvironments::restored, py::arg("env"))
        .def("send", &PyEnvironments::send, py::arg("envs"), py::arg("masks"), py::arg("masks2"))
        .def("receive", &PyEnvironments::receive, py::arg("count"))
        .def("in_flight", &PyEnvironments::inFlight)
        .def("pressed", &PyEnvironments::pressed, py::arg("env"));

    // Views of the outputs, in the environments' own memory.
    using Outputs = py::object (PyEnvironments::*)(py::handle);
    const std::pair<const char*, Outputs> outputs[] = {{"observations", &PyEnvironments::observations},
                                                       {"final_observations", &PyEnvironments::finalObservations},
                                                       {"rewards", &PyEnvironments::rewards},
                                                       {"terminated", &PyEnvironments::terminated},
                                                       {"truncated", &PyEnvironments::truncated},
                                                       {"ended", &PyEnvironments::ended},
                                                       {"started", &PyEnvironments::started},
                                                       {"values", &PyEnvironments::values},
                                                       {"final_values", &PyEnvironments::finalValues},
                                                       {"final_episode_frames", &PyEnvironments::finalEpisodeFrames},
                                                       {"final_ram", &PyEnvironments::finalRam},
                                                       {"final_prg_ram", &PyEnvironments::finalPrgRam},
                                                       {"episode_frames", &PyEnvironments::episodeFrames}};
    for (const auto& [name, method] : outputs) environments.def(name, arrayOf(method));
}
