// --keygen: a new publisher key pair in the current folder.
#pragma once

#include "base/status.h"

namespace quor {

// Writes publisher.key (the private key, readable and writable by its
// owner only on POSIX) and updater.key (the public key) into the current
// folder (dataset/signing_keys.h). Refuses, writing nothing, when either
// exists. Called from one thread.
Status writeNewKeyPair();

}  // namespace quor
