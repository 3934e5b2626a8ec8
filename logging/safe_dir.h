// SPDX-License-Identifier: Apache-2.0
// Whether a directory may hold the tool's files when others share the host:
// a real directory, not a link, owned by this user, writable by no one else.
// Anyone who may rename or plant entries in it could point the tool's logs,
// output files or locks at any file of the system.
#pragma once

#include <sys/types.h>

#include <string>

enum class safe_dir_fault {
    none,
    unexaminable,   // stat failed; err holds errno
    symlink,        // the path names a symbolic link
    not_directory,  // something other than a directory
    foreign_owner,  // owned by another user
    shared_write,   // group or others may write
};

struct safe_dir_verdict {
    safe_dir_fault fault = safe_dir_fault::none;
    int err = 0;
    uid_t owner = 0;
    mode_t mode = 0;
};

struct safe_dir_policy {
    // A root-owned directory is as safe as our own: root can write anywhere.
    bool allow_root_owner = false;
};

// Checks the directory open at dir_fd (opened with O_DIRECTORY | O_NOFOLLOW,
// so it can be neither a link nor anything else).
[[nodiscard]] safe_dir_verdict safe_dir_check_fd(int dir_fd, safe_dir_policy policy = {});

// Checks path without following a link in its last component; trailing
// slashes are ignored, as they would make the check look through a link.
[[nodiscard]] safe_dir_verdict safe_dir_check_path(const char *path, safe_dir_policy policy = {});

struct safe_dir_wording {
    // What the reason speaks about: "it", "its directory", or the path.
    const char *subject = "it";
    // Append " (mode 775)" to the writable reason.
    bool show_mode = true;
    // Append ": <strerror>" to the unexaminable reason.
    bool show_errno = true;
};

// The reason of a refusal as one phrase ("it is owned by uid 1000, not 0"),
// empty when the verdict is none.
[[nodiscard]] std::string safe_dir_reason(const safe_dir_verdict &verdict, const safe_dir_wording &wording = {});
