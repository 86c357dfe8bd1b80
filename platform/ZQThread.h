#pragma once

#include <cstdint>

// Thread creation with the real-time rule of the product: when the process runs
// as root, a thread is created under SCHED_FIFO with the priority of its class
// (no class: 50); otherwise it gets default scheduling. Root that the system
// refuses real-time scheduling (no CAP_SYS_NICE) gets a thread with default
// scheduling too, and the first such refusal of the process is reported by one
// line on standard error. A handle is an opaque
// heap block holding the thread id: CreateThreadEx makes it, JoinThread waits
// for the thread, FreeThreadHandle frees it.

using ThreadHandle = void*;
using ThreadEntry = void* (*)(void*);

// Priority classes 0..5 map to FIFO priorities 1, 25, 50, 75, 99, 99 (clamped to
// the system's FIFO range); any other class maps to 50. A null class means 50,
// unclamped. Returns null when the handle cannot be allocated or the thread
// cannot be created.
ThreadHandle CreateThreadEx(const uint32_t* pPriorityClass, ThreadEntry pfnEntry, void* pArg);

// As root, puts the calling thread under SCHED_FIFO at the priority of class
// nPriorityClass (the table of CreateThreadEx). 0, also when not root (nothing
// changes); otherwise the error of pthread_setschedparam, EPERM without
// real-time permission: the thread then keeps its scheduling.
int RaiseCallingThread(uint32_t nPriorityClass);

// Waits for the thread to end; prints a line when the join fails. Null: no-op.
// Always returns 0. Does not free the handle.
int JoinThread(ThreadHandle hThread);

// Frees the handle. Returns 1 for a null handle, 0 otherwise.
int FreeThreadHandle(ThreadHandle hThread);

// Ends the calling thread with a null result.
[[noreturn]] void ExitCurrentThread();
