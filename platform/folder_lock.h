#pragma once

// The data folder belongs to one server process at a time.
//
// Two servers in one folder would both take over the queue journals, and the second's orderly
// stop would write stale queue files and remove the journal the first still writes into. So
// before the server opens any file in its data folder it takes an exclusive flock() on
// "Kormlink.lock" there and holds it for the life of the process; the kernel releases it when
// the process ends in any way, kill -9 included. The holder writes its process id into the
// file so that a refused start can say who has the folder. A standby server waits for the lock:
// it is the fence between the two machines of a pair sharing one folder.

#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/unique_fd.h"

namespace kormlink {

inline constexpr const char* kLockFileName = "Kormlink.lock";

struct FolderLockResult {
    enum class Outcome { Taken, InUse, Error };
    Outcome outcome = Outcome::Error;
    UniqueFd fd;          // Taken: keep it open for as long as the folder is used
    std::string holder;   // InUse: "process 1234", or "another process" when the file says none
    std::string error;    // Error: why the lock file cannot be opened or locked
};

// Takes the lock of dir. waitMs > 0: waits up to that long for a holder to go, calling
// onWaiting once (with the holder) when it has to wait. The wait is a poll of a few times a
// second, so it ends within moments of the holder's end.
FolderLockResult lockFolder(const std::string& dir, Millis waitMs = 0,
                            void (*onWaiting)(const std::string& holder) = nullptr);

}  // namespace kormlink
