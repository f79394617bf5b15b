// The Python module `velkora`: translates between Python and the core.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "bindings/py_nes.h"
#include "console/nes_unit.h"
#include "state/save_state.h"

namespace py = pybind11;
using velkora_binding::PyNES;
using velkora_binding::RunThreadHold;

namespace {

// Consoles whose run thread may still be alive; stopped before the interpreter exits.
std::set<PyNES*>& liveRunners() {
    static std::set<PyNES*> runners;
    return runners;
}

void joinWithoutGil(PyNES& nes) {
    nes.running = false;
    if (nes.runThread.joinable()) {
        py::gil_scoped_release release;
        nes.runThread.join();
    }
    liveRunners().erase(&nes);
}

struct NESDeleter {
    void operator()(PyNES* nes) const {
        if (nes->runThread.joinable() && nes->onRunThread()) {
            // Collected from its own callback: the thread still runs on this
            // object, so end it and leave the object alive rather than free it.
            nes->running = false;
            nes->runThread.detach();
            liveRunners().erase(nes);
            return;
        }
        joinWithoutGil(*nes);
        delete nes;
    }
};
using NESHolder = std::unique_ptr<PyNES, NESDeleter>;

void perFrameTrampoline(void* context) {
    auto& nes = *static_cast<PyNES*>(context);
    if (!nes.hasCallback.load(std::memory_order_acquire)) return;
    if (!nes.onRunThread()) {
        // runFrame holds the interpreter lock; an exception ends runFrame.
        const std::function<void()> fn = nes.callback;
        if (fn) fn();
        return;
    }
    py::gil_scoped_acquire gil;
    // Our own copy: perFrame may replace the callback while it runs.
    const std::function<void()> fn = nes.callback;
    if (!fn) return;
    try {
        fn();
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("velkora.NES per-frame callback on the run thread");
        nes.running = false;
    }
}

void flushPythonStdout() {
    py::object out = py::module_::import("sys").attr("stdout");
    if (!out.is_none()) out.attr("flush")();
}

// Construction prints the loader's lines from C; keep them in order with Python's.
template <typename Make>
PyNES* construct(Make make) {
    flushPythonStdout();
    struct FlushOnExit {
        ~FlushOnExit() { std::fflush(stdout); }
    } flush;
    PyNES* nes = make();
    nes->setPerFrame({perFrameTrampoline, nes});
    return nes;
}

py::object owner(PyNES& nes) { return py::cast(&nes, py::return_value_policy::reference); }

py::array_t<uint8_t> view(py::handle owner, uint8_t* data, std::vector<py::ssize_t> shape,
                          std::vector<py::ssize_t> strides) {
    return py::array_t<uint8_t>(std::move(shape), std::move(strides), data, owner);
}

// An object made by __new__ without __init__ has no console behind it: pybind11
// would hand the method raw memory. Constructed objects are registered.
template <typename T>
T& live(T& object) {
    if (!py::detail::get_object_handle(&object, py::detail::get_type_info(typeid(T)))) {
        throw py::type_error(std::string(typeid(T) == typeid(PyNES) ? "NES" : "Controller") +
                             " object is not initialised: its __init__ was not called");
    }
    return object;
}

}  // namespace

PYBIND11_MODULE(velkora, m) {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const FileError& e) {
            py::object error =
                py::reinterpret_borrow<py::object>(PyExc_OSError)(e.error, std::strerror(e.error), e.path);
            PyErr_SetObject(PyExc_OSError, error.ptr());
        }
    });

    py::class_<PyNES, NESHolder> nes(m, "NES");
    py::class_<ControllerWrapper> controller(m, "Controller");

    nes.def(py::init([](const std::string& rom_name, int CLOCK_SPEED) {
                return construct([&] { return new PyNES(rom_name, CLOCK_SPEED); });
            }),
            py::arg("rom_name"), py::arg("CLOCK_SPEED") = NESUnit::kDefaultClock)
        .def(py::init([](int CLOCK_SPEED) { return construct([&] { return new PyNES(CLOCK_SPEED); }); }),
             py::arg("CLOCK_SPEED") = NESUnit::kDefaultClock)
        .def(py::init([](py::object rom_file, int CLOCK_SPEED) {
                 const std::string name = rom_file.attr("name").cast<std::string>();
                 const std::string data = rom_file.attr("read")().cast<std::string>();
                 const std::vector<uint8_t> image(data.begin(), data.end());
                 return construct([&] { return new PyNES(name, image, CLOCK_SPEED); });
             }),
             py::arg("rom_file"), py::arg("CLOCK_SPEED") = NESUnit::kDefaultClock)
        // The views' base is the console's Python object, so a view keeps it alive.
        // Writes through these views bypass the bus: snapshots then compare the ROM windows.
        .def("cpuMem",
             [](PyNES& n) {
                 live(n).cpu->memoryShared = true;
                 return view(owner(n), n.cpu->memory.data(), {65536}, {1});
             })
        .def("ppuMem",
             [](PyNES& n) {
                 live(n).ppu->vramShared = true;
                 return view(owner(n), n.ppu->vram.data(), {16384}, {1});
             })
        .def("OAM", [](PyNES& n) { return view(owner(live(n)), n.ppu->oam.data(), {256}, {1}); })
        .def("getImg",
             [](PyNES& n) {
                 return view(owner(live(n)), n.ppu->displayFrame.data(), {240, 256, 3}, {768, 3, 1});
             })
        .def("colorLookup",
             [](PyNES& n) {
                 live(n);
                 py::capsule table(colorLookupTable.data(), [](void*) {});
                 return view(table, colorLookupTable.data(), {64, 3}, {3, 1});
             })
        .def(
            "getAudio",
            [](PyNES& self, bool split_channels) {
                live(self);
                PyObject* raw = PyList_New(0);
                if (!raw) {
                    PyErr_Clear();
                    throw std::runtime_error("Could not allocate list object!");
                }
                py::list result = py::reinterpret_steal<py::list>(raw);
                std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks> blocks;
                const bool ready = self.apu->takeBlock(blocks);
                const int count = ready ? (split_channels ? self.apu->channelBlocks() : 1) : 1;
                for (int i = 0; i < count; ++i) {
                    PyObject* bytes = ready ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blocks[i].data()),
                                                                        sizeof(blocks[i]))
                                            : PyBytes_FromStringAndSize(nullptr, 0);
                    if (!bytes) {
                        PyErr_Clear();
                        throw std::runtime_error("Could not allocate bytes object!");
                    }
                    const int appended = PyList_Append(raw, bytes);
                    Py_DECREF(bytes);
                    if (appended != 0) throw py::error_already_set();
                }
                return result;
            },
            py::arg("split_channels") = false)
        .def("start",
             [](PyNES& self) {
                 live(self);
                 self.start();
                 liveRunners().insert(&self);
             })
        .def("stop",
             [](PyNES& self) {
                 live(self);
                 if (self.onRunThread()) {
                     self.stop();  // raises: a thread cannot wait for itself
                     return;
                 }
                 // Without the lock, so a callback waiting for it can finish.
                 {
                     py::gil_scoped_release release;
                     try {
                         self.stop();
                     } catch (...) {
                         py::gil_scoped_acquire gil;
                         liveRunners().erase(&self);
                         throw;
                     }
                 }
                 liveRunners().erase(&self);
             })
        .def("saveState",
             [](PyNES& self, int slot) {
                 live(self);
                 py::gil_scoped_release release;
                 RunThreadHold hold(self);
                 saveState(self, slot);
             })
        .def("loadState",
             [](PyNES& self, int slot) {
                 live(self);
                 py::gil_scoped_release release;
                 RunThreadHold hold(self);
                 return loadState(self, slot);
             })
        .def("setPaused", [](PyNES& self, bool paused) { live(self).setPaused(paused); })
        .def("setSaveDir", [](PyNES& self, const std::string& path) { return live(self).setSaveDir(path); })
        .def("getSaveDir", [](PyNES& self) { return live(self).getSaveDir(); })
        .def("setController",
             [](PyNES& self, ControllerWrapper* pad, int port) {
                 // A reference in all but name: None is a failed cast, as for any reference.
                 if (!pad) throw py::cast_error("setController: None is not a Controller");
                 live(self).setController(live(*pad), port);
                 // The port refers to the pad's buttons: keep the pad alive while plugged in.
                 self.ports[port & 0xFF] = py::cast(pad, py::return_value_policy::reference);
             })
        .def("frameCount", [](PyNES& self) { return live(self).frameCount(); })
        .def("cycleCount", [](PyNES& self) { return live(self).cycleCount(); })
        .def("runFrame", [](PyNES& self) { live(self).runFrame(); })
        .def("perFrame", [](PyNES& self, std::function<void()> callback) {
            live(self);
            const bool set = bool(callback);
            std::function<void()> old = std::move(self.callback);
            self.callback = std::move(callback);
            self.hasCallback.store(set, std::memory_order_release);
            // `old` is released here, with the lock held; a run thread calling
            // it holds its own copy.
        });

    controller.def(py::init<>()).def("updateInputs", [](ControllerWrapper& self, py::list inputs) {
        live(self);
        std::array<uint8_t, 8> states{};
        for (size_t i = 0; i < 8; ++i) {
            py::object entry = inputs[i];
            states[i] = entry.cast<bool>() ? 1 : 0;
        }
        self.store(states);
    });

    // Run threads must end before the interpreter does.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        const std::set<PyNES*> runners = liveRunners();
        for (PyNES* nes : runners) joinWithoutGil(*nes);
    }));
}
