// ops.h - the operations behind each Ring method. Each receives converted
// native arguments, records what the kernel will use, encodes and pushes its
// SQE(s), and reports an Outcome; none raises.
#pragma once

#include "ops/args.h"
#include "ops/outcome.h"
#include "ring/ring_state.h"

namespace uring::ops {

// Engine
Outcome submit(RingState& st);
Outcome reap(RingState& st);
Outcome drain_eventfd(RingState& st);

// Descriptor operations
Outcome read(RingState& st, int32_t fd, uint64_t offset, uint32_t len);
Outcome write(RingState& st, int32_t fd, uint64_t offset, BytesArg data);
Outcome writev(RingState& st, int32_t fd, uint64_t offset, BytesSeq bufs);
Outcome cancel(RingState& st, uint64_t user_data);
Outcome ftruncate(RingState& st, int32_t fd, uint64_t len);
Outcome fsync(RingState& st, int32_t fd, bool datasync);
Outcome close(RingState& st, int32_t fd);

// Path operations
Outcome open(RingState& st, PathArg path, int32_t flags, uint32_t mode);
Outcome statx(RingState& st, PathArg path, bool follow);
Outcome fstatx(RingState& st, int32_t fd);
Outcome mkdir(RingState& st, PathArg path, uint32_t mode);
Outcome unlink(RingState& st, PathArg path, bool remove_dir);
Outcome rename(RingState& st, PathArg src, PathArg dst);
Outcome symlink(RingState& st, PathArg target, PathArg linkpath);
Outcome link(RingState& st, PathArg src, PathArg dst);

// Linked chains and direct descriptors
Outcome open_read(RingState& st, PathArg path, int32_t flags, uint32_t mode, uint32_t len, uint32_t slot);
Outcome open_write(RingState& st, PathArg path, int32_t flags, uint32_t mode, BytesArg data, uint32_t slot);
Outcome read_fixed(RingState& st, uint32_t slot, uint64_t offset, uint32_t len);
Outcome write_fixed(RingState& st, uint32_t slot, uint64_t offset, BytesArg data);
Outcome close_fixed(RingState& st, uint32_t slot);

}  // namespace uring::ops
