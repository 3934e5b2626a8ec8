// SPDX-License-Identifier: Apache-2.0
// Every fmt format error first leaves a stack trace on standard error, so a
// bad format string can be traced to its caller even when the logger
// swallows the exception. Most of fmt's checks throw from inside libfmt.so,
// where no macro of ours reaches, so the program catches the throw itself:
// this definition of __cxa_throw, linked into the executable (exported with
// -rdynamic), takes precedence over libstdc++'s, notes fmt::format_error and
// hands every exception on unchanged.
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <typeinfo>

#include <fmt/format.h>

#include "trace.h"

namespace {

using cxa_throw_fn = void (*)(void *, std::type_info *, void (*)(void *));

cxa_throw_fn next_cxa_throw() {
    static cxa_throw_fn next = reinterpret_cast<cxa_throw_fn>(dlsym(RTLD_NEXT, "__cxa_throw"));
    return next;
}

}  // namespace

namespace __cxxabiv1 {

extern "C" void __cxa_throw(void *thrown, std::type_info *type, void (*destroy)(void *)) {
    if (type != nullptr && *type == typeid(fmt::format_error)) {
        write_stack_trace(stderr);
    }
    cxa_throw_fn next = next_cxa_throw();
    if (next == nullptr) {
        abort();
    }
    next(thrown, type, destroy);
    __builtin_unreachable();
}

}  // namespace __cxxabiv1
