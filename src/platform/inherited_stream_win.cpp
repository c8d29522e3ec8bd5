#include "platform/inherited_stream.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace quor {

std::FILE* openInheritedStream(uint64_t number) {
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(number));
  if (number == 0 || handle == INVALID_HANDLE_VALUE) return nullptr;
  // A value that names no open handle has no file type.
  if (GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return nullptr;
  int descriptor = _open_osfhandle(static_cast<intptr_t>(number), _O_WRONLY | _O_BINARY);
  if (descriptor == -1) return nullptr;
  std::FILE* stream = _fdopen(descriptor, "wb");
  if (stream == nullptr) _close(descriptor);
  return stream;
}

}  // namespace quor
