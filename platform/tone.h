#pragma once

// Short tones that signal internal errors. The desktop window routes them to the system beep;
// headless they are silent. Thread-safe.

#include <functional>

namespace kormlink {

using ToneHandler = std::function<void(int frequencyHz, int durationMs)>;

// Replaces the handler (nullptr: silent).
void setToneHandler(ToneHandler handler);
void tone(int frequencyHz, int durationMs);

}  // namespace kormlink
