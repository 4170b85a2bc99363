#include "platform/limits.h"

#include <sys/resource.h>

namespace kormlink {

DescriptorLimit raiseDescriptorLimit() {
    DescriptorLimit result;
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return result;
    result.before = result.now = lim.rlim_cur;
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= lim.rlim_max) return result;
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) return result;
    result.now = raised.rlim_cur;
    result.raised = true;
    return result;
}

}  // namespace kormlink
