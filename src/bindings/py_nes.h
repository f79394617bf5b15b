// The console as Python holds it, shared by the two extension modules: the
// companion module receives velkora.NES objects and must see the same type.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <functional>

#include "console/nes_unit.h"

namespace velkora_binding {

namespace py = pybind11;

// The core plus what only the binding knows: the Python callback and the
// controllers plugged into the ports.
class PyNES final : public NESUnit {
public:
    using NESUnit::NESUnit;
    // Read and replaced only with the interpreter lock held.
    std::function<void()> callback;
    std::atomic<bool> hasCallback{false};
    py::object ports[2];
};

// Parks a console's run thread between instructions for as long as it lives.
struct RunThreadHold {
    explicit RunThreadHold(NESUnit& unit) : unit(unit) { unit.holdRunThread(); }
    ~RunThreadHold() { unit.releaseRunThread(); }
    RunThreadHold(const RunThreadHold&) = delete;
    RunThreadHold& operator=(const RunThreadHold&) = delete;
    NESUnit& unit;
};

}  // namespace velkora_binding
