#include "platform/tone.h"

#include <mutex>

namespace kormlink {
namespace {
std::mutex g_mutex;
ToneHandler g_handler;
}  // namespace

void setToneHandler(ToneHandler handler) {
    std::lock_guard lock(g_mutex);
    g_handler = std::move(handler);
}

void tone(int frequencyHz, int durationMs) {
    ToneHandler handler;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
    }
    if (handler) handler(frequencyHz, durationMs);
}

}  // namespace kormlink
