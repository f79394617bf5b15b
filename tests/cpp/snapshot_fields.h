// Snapshots with fields changed by name, and the restore's refusals.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "console/nes_unit.h"
#include "state/snapshot.h"
#include "test_support.h"

// All fields in one pass: the layout walk itself refuses a snapshot whose
// fields contradict each other, so a second pass over a changed one may fail.
inline Bytes withFields(NESUnit& unit, const Bytes& snapshot,
                        std::initializer_list<std::pair<std::string, int64_t>> values) {
    Bytes changed = snapshot;
    const auto layout = snapshotLayout(unit, snapshot.data(), snapshot.size());
    for (const auto& change : values) {
        const auto field =
            std::find_if(layout.begin(), layout.end(), [&](const auto& f) { return f.name && change.first == f.name; });
        if (field == layout.end()) {
            ADD_FAILURE() << "no field " << change.first;
            continue;
        }
        std::memcpy(&changed[field->offset], &change.second, std::min<size_t>(field->size, sizeof change.second));
    }
    sealSnapshot(changed.data(), changed.size());
    return changed;
}

inline Bytes withField(NESUnit& unit, const Bytes& snapshot, const std::string& name, int64_t value) {
    return withFields(unit, snapshot, {{name, value}});
}

// The console must not change at all when a restore is refused.
inline void expectRefused(NESUnit& unit, const Bytes& data, const std::string& reason) {
    const Bytes before = takeSnapshot(unit);
    try {
        restoreSnapshot(unit, data.data(), data.size());
        ADD_FAILURE() << "accepted, expected: " << reason;
    } catch (const SnapshotError& error) {
        EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
    }
    const Bytes after = takeSnapshot(unit);
    EXPECT_TRUE(after == before) << reason;
    if (after != before) {
        for (const auto& field : snapshotLayout(unit, after.data(), after.size())) {
            if (std::memcmp(&after[field.offset], &before[field.offset], field.size) != 0)
                ADD_FAILURE() << "differs at " << field.offset << " " << (field.name ? field.name : "?") << " size "
                              << field.size;
        }
    }
}
