// SPDX-License-Identifier: Apache-2.0
#include "safe_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

safe_dir_verdict judge(const struct stat &st, safe_dir_policy policy) {
    safe_dir_verdict verdict;
    verdict.owner = st.st_uid;
    verdict.mode = st.st_mode & 0777;
    if (S_ISLNK(st.st_mode)) {
        verdict.fault = safe_dir_fault::symlink;
    } else if (!S_ISDIR(st.st_mode)) {
        verdict.fault = safe_dir_fault::not_directory;
    } else if (st.st_uid != geteuid() && !(policy.allow_root_owner && st.st_uid == 0)) {
        verdict.fault = safe_dir_fault::foreign_owner;
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        verdict.fault = safe_dir_fault::shared_write;
    }
    return verdict;
}

safe_dir_verdict unexaminable(int err) {
    safe_dir_verdict verdict;
    verdict.fault = safe_dir_fault::unexaminable;
    verdict.err = err;
    return verdict;
}

}  // namespace

safe_dir_verdict safe_dir_check_fd(int dir_fd, safe_dir_policy policy) {
    struct stat st {};
    if (fstat(dir_fd, &st) != 0) {
        return unexaminable(errno);
    }
    return judge(st, policy);
}

safe_dir_verdict safe_dir_check_path(const char *path, safe_dir_policy policy) {
    std::string dir_path(path != nullptr ? path : "");
    while (dir_path.size() > 1 && dir_path.back() == '/') {
        dir_path.pop_back();
    }
    struct stat st {};
    if (lstat(dir_path.c_str(), &st) != 0) {
        return unexaminable(errno);
    }
    return judge(st, policy);
}

std::string safe_dir_reason(const safe_dir_verdict &verdict, const safe_dir_wording &wording) {
    const std::string subject = wording.subject != nullptr ? wording.subject : "it";
    char detail[64] = "";
    switch (verdict.fault) {
        case safe_dir_fault::none:
            return {};
        case safe_dir_fault::unexaminable:
            return subject + " cannot be examined" +
                   (wording.show_errno ? std::string(": ") + strerror(verdict.err) : "");
        case safe_dir_fault::symlink:
            return subject + " is a symbolic link";
        case safe_dir_fault::not_directory:
            return subject + " is not a directory";
        case safe_dir_fault::foreign_owner:
            snprintf(detail, sizeof(detail), " is owned by uid %u, not %u", static_cast<unsigned>(verdict.owner),
                     static_cast<unsigned>(geteuid()));
            return subject + detail;
        case safe_dir_fault::shared_write:
            if (wording.show_mode) {
                snprintf(detail, sizeof(detail), " (mode %03o)", static_cast<unsigned>(verdict.mode));
            }
            return subject + " is writable by group or others" + detail;
    }
    return {};
}
