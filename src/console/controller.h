// One joypad: eight button bytes that Python sets as a whole.
#pragma once

#include <array>
#include <cstdint>

#include "common.h"

class ControllerWrapper {
public:
    Buttons buttons{};

    ControllerWrapper() { clear(); }
    ControllerWrapper(const ControllerWrapper&) = delete;
    ControllerWrapper& operator=(const ControllerWrapper&) = delete;

    void clear() {
        for (auto& b : buttons) b.store(0, std::memory_order_relaxed);
    }
    // Stores all eight states at once; the caller has converted every entry first.
    void store(const std::array<uint8_t, 8>& states) {
        for (int i = 0; i < 8; ++i) buttons[i].store(states[i] ? 1 : 0, std::memory_order_relaxed);
    }
};
