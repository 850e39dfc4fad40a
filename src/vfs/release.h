#pragma once

// Dropping a file lock for certain. A lock that outlives a failed unlock
// makes every other handle on the file, in every process, wait for as long
// as its holder lives, with nothing reported anywhere.

#include <memory>
#include <string_view>

#include "vfs/vfs.h"

namespace vbk {

// Releases whatever lock `file`, open on `path`, holds. Should the unlock
// fail, `file` is closed, which drops its lock, and `path` opened afresh in
// its place (without creating it), unlocked. Should that fail too, `file`
// becomes a file whose every operation fails with the open's error, which is
// also returned: whoever owns it finds out at its next use, and no lock is
// held either way. Success when the lock is gone and `file` works.
Result<void> release_lock(Vfs& vfs, std::string_view path, std::unique_ptr<VfsFile>& file);

// The sure way out when an unlock failed: closes `file`, which drops every
// lock it holds (the turnstile too), and opens `path` afresh in its place,
// unlocked, as release_lock does.
Result<void> reopen_unlocked(Vfs& vfs, std::string_view path, std::unique_ptr<VfsFile>& file);

}  // namespace vbk
