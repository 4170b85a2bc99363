#pragma once

// Stopping every worker a registry refers to, from the last entry to the first.
//
// Waiting serves the main thread's hand-overs, during which entries leave the registry (and,
// before the owner stopped taking workers on, could arrive), so positions shift: each round
// takes the last entry not yet asked instead of walking fixed positions. A worker is asked once;
// one that does not end within waitBoundMs sounds a tone and the loop goes on.

#include <algorithm>
#include <memory>
#include <vector>

#include "core/main_thread.h"
#include "platform/tone.h"

namespace kormlink {

// Entry must offer completion() (a shared_ptr to something with isSet()) and requestStop().
template <typename Entry>
void stopEach(const std::vector<Entry*>& entries, MainThread& mainThread, Millis waitBoundMs) {
    std::vector<Entry*> asked;
    for (;;) {
        auto it = std::find_if(entries.rbegin(), entries.rend(), [&](Entry* e) {
            return std::find(asked.begin(), asked.end(), e) == asked.end();
        });
        if (it == entries.rend()) break;
        Entry* entry = *it;
        asked.push_back(entry);
        auto done = entry->completion();  // taken first: the entry may be gone once it ends
        entry->requestStop();
        if (!mainThread.runUntil([&] { return done->isSet(); }, waitBoundMs)) tone(1400, 20);
    }
}

}  // namespace kormlink
