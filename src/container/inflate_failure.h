// What the container reports when zlib's inflate fails, whether the body
// is inflated whole (uncompress) or piece by piece: the same code always
// gives the same status and message.
#pragma once

#include "base/status.h"

namespace quor {

// code: a zlib result other than Z_OK and Z_STREAM_END.
Status inflateFailure(int code);

}  // namespace quor
