// SPDX-License-Identifier: Apache-2.0
// Seams for programs that run the client in-process: a front end that
// waits between polls its own way (flashctl polls soon and cuts a wait short
// on a stop),
// and the benchmarks and fuzzers that put a card behind this thread's client
// without a device node. The client's internals stay its own.
#pragma once

#include "flash-update/card_ipc/nic_ipc.h"

// How the client waits between two polls of a long operation (erase,
// checksum, startup-image verification): seconds asked, seconds left unslept
// on return, as sleep() does. Null: the system's sleep. Process-wide.
using rfc_sleep_fn_t = unsigned (*)(unsigned seconds);
void rfc_set_sleep(rfc_sleep_fn_t sleeper);

// The wait before each further poll of a long operation, decided by the
// front end: given the operation's interval (10 s for an erase, 2 s for a
// checksum or a startup-image verification) and the in-progress answers so
// far (1 before the second request), it waits and returns the seconds it
// waited. Null: the interval every time, through the sleep above, which is
// flash-update's schedule. Process-wide.
using rfc_poll_wait_fn_t = double (*)(unsigned interval_s, unsigned polls);
void rfc_set_poll_wait(rfc_poll_wait_fn_t wait);

// Hands this thread's client an open transport: the client's open step is
// done, and its requests go over handle (for example one end of a socketpair
// with an in-process card behind it). The handle stays the caller's to close.
void rfc_attach_transport(const nic_ipc_handle_s &handle);
// Forgets this thread's transport without closing it: the next operation
// opens the card again.
void rfc_detach_transport();
