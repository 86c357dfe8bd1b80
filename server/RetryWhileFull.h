#pragma once

#include "logmodule/LogModule.h"

#include <time.h>

#include <cstdint>

// Submits a record again while the log module refuses it for a full ring
// (ZQ_ERR_QUEUE_FULL): the writer is behind and makes room soon, so the
// submitter naps nNapNs between tries instead of dropping the record. Both the
// daemon's receive loop and zqlog pace themselves by it; what differs is when
// they give up, which fnGiveUp says: it is asked before each nap with the
// number of naps taken so far and returns true to stop trying.
//
// fnSubmit: int32_t(), one try (WriteRawLog's results). Returns the result of
// the last try: ZQ_ERR_QUEUE_FULL when the caller gave up. Allocates nothing;
// a nap that a signal interrupts only ends early.
template <typename Submit, typename GiveUp>
int32_t RetryWhileFull(Submit fnSubmit, long nNapNs, GiveUp fnGiveUp) {
    int32_t nRet = fnSubmit();
    for (uint32_t nNaps = 0; nRet == ZQ_ERR_QUEUE_FULL && !fnGiveUp(nNaps); ++nNaps) {
        timespec stNap{0, nNapNs};
        (void)nanosleep(&stNap, nullptr);
        nRet = fnSubmit();
    }
    return nRet;
}
