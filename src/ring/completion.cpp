// completion.cpp - copying completions out of the shared ring.

#include "ring/completion.h"

#include <unistd.h>


namespace uring {

uint32_t cq_take(RingState& st, Completion* out) {
    const PostedCompletions posted(st);
    for (uint32_t i = 0; i < posted.size(); ++i) out[i] = Completion{posted[i].user_data, posted[i].res};
    return posted.size();
}

void drain_eventfd(int fd) {
    uint64_t counter;
    while (read(fd, &counter, sizeof counter) == static_cast<ssize_t>(sizeof counter)) {
    }
}

}  // namespace uring
