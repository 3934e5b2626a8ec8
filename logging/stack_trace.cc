// SPDX-License-Identifier: Apache-2.0
#include <cxxabi.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#include "trace.h"

namespace {
constexpr int STACK_TRACE_DEPTH = 64;
constexpr size_t DEMANGLE_BUF_INITIAL = 256;
}  // namespace

void write_stack_trace(FILE *out) {
    fprintf(out, "stack trace:\n");

    void *addrs[STACK_TRACE_DEPTH];
    int depth = backtrace(addrs, STACK_TRACE_DEPTH);
    if (depth == 0) {
        fprintf(out, "  <empty, possibly corrupt>\n");
        return;
    }

    char **symbols = backtrace_symbols(addrs, depth);
    if (symbols == nullptr) {
        return;
    }
    size_t name_cap = DEMANGLE_BUF_INITIAL;
    char *name_buf = static_cast<char *>(malloc(name_cap));

    // Frame 0 is this function itself.
    for (int i = 1; i < depth; ++i) {
        // backtrace_symbols gives "module(name+offset) [address]".
        char *open = nullptr;
        char *plus = nullptr;
        char *close = nullptr;
        for (char *p = symbols[i]; *p != '\0'; ++p) {
            if (*p == '(') {
                open = p;
            } else if (*p == '+') {
                plus = p;
            } else if (*p == ')' && plus != nullptr) {
                close = p;
                break;
            }
        }
        if (open == nullptr || plus == nullptr || close == nullptr || open >= plus) {
            fprintf(out, "  %s\n", symbols[i]);
            continue;
        }
        *open++ = '\0';
        *plus++ = '\0';
        *close = '\0';

        int status = -1;
        char *demangled = name_buf != nullptr ? abi::__cxa_demangle(open, name_buf, &name_cap, &status) : nullptr;
        if (status == 0 && demangled != nullptr) {
            name_buf = demangled;
            fprintf(out, "  %s : %s+%s\n", symbols[i], name_buf, plus);
        } else {
            fprintf(out, "  %s : %s()+%s\n", symbols[i], open, plus);
        }
    }

    free(name_buf);
    free(symbols);
}
