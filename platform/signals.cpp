#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace kormlink {
namespace {
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void blockStopSignals() {
    ::signal(SIGPIPE, SIG_IGN);
    // A file that reaches the size limit makes the write fail (EFBIG) like a full disk, instead
    // of killing the process.
    ::signal(SIGXFSZ, SIG_IGN);
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalWatcher::StopSignalWatcher(std::function<void()> onSignal)
    : m_onSignal(std::move(onSignal)), m_thread([this] { run(); }) {}

StopSignalWatcher::~StopSignalWatcher() {
    m_stop = true;
    m_thread.join();
}

void StopSignalWatcher::run() {
    const sigset_t set = stopSignals();
    while (!m_stop) {
        timespec step{0, 200'000'000};  // the stop flag is checked five times a second
        if (sigtimedwait(&set, nullptr, &step) > 0) m_onSignal();
    }
}

}  // namespace kormlink
