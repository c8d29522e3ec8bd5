// bspatch for files too large to hold in memory: the patch body (see
// patch.h) is pulled from a source, typically the ContainerReader of a
// binary_patch container, the old file is read by position and the new
// file is pushed to a sink in order. It costs two 256 KiB buffers, never
// memory sized from newLength or from a record.
#pragma once

#include "base/byte_stream.h"
#include "base/status.h"

namespace quor {

// Applies the body to old (old.size() may be 0: a missing or empty file)
// and writes the new file to out. The refusals and their messages are
// bspatch's ("bspatch: too small", "bspatch: wrong header", "bspatch:
// corrupt patch" for an invalid record, a record past newLength, a body
// that ends early or goes on after the new file is complete), and so are
// the bytes of a patch it accepts. A failure of the body's source or of
// the sink is returned as it is. On any failure out holds a part of the
// new file at most, which the caller throws away.
Status applyPatchStream(ByteSource& body, SeekableSource& old, ByteSink& out);

}  // namespace quor
