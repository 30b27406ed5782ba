// The status of a base name's pipes, read from its registry and counters
// without taking a lock or reserving anything, and the three forms an
// operator reads it in: text (velmox-registry status), JSON (--json) and
// the OpenMetrics text exposition (--openmetrics, the FastCGI gateway's
// metrics path), which Prometheus scrapes.
//
// A pipe is idle (waiting for a request), busy (claimed by a live client)
// or recovering (claimed by a client that is gone, or withdrawn by its
// closing server: it serves nobody until it is free again).
//
// Error convention: ReadPipeStatus returns false when the base name has no
// registry, with the cause in `failure`; a status read is a snapshot, each
// figure whole, the whole not one instant. The formatters never fail.
// Nothing here throws but std::bad_alloc.
#ifndef VELMOX_PIPE_STATUS_H
#define VELMOX_PIPE_STATUS_H

#include <cstdint>
#include <string>
#include <vector>

#include "ipc_failure.h"
#include "pipe_counters.h"

enum class PipeState { Idle, Busy, Recovering };
// "idle", "busy", "recovering".
const char* PipeStateName(PipeState state);

struct PipeStatusEntry {
    int slot = 0;
    int32_t pid = 0;
    PipeState state = PipeState::Idle;
    uint64_t requests = 0;
    double currentAgeSeconds = 0;  // of the request in progress; 0 when none
    uint64_t timeouts = 0;
};

struct PipeStatus {
    std::string base;
    bool registry = false;  // the base name has a registry
    bool counters = false;  // and counters
    int freeServers = -1;   // the free-server count; -1 when unknown
    std::vector<PipeStatusEntry> pipes;  // registered pipes, by slot
    // Totals over every slot (also of pipes that have gone).
    uint64_t requests = 0;
    uint64_t timeouts = 0;
    CounterHistogram durations = {};
    uint64_t waits = 0;
    CounterHistogram waited = {};
    uint64_t failures[kExchangeFailureKinds] = {};
    // Per slot that has ever served (for the per-pipe series).
    struct SlotTotals {
        int slot;
        uint64_t requests;
        uint64_t timeouts;
    };
    std::vector<SlotTotals> slots;

    int Count(PipeState state) const;
};

// Fills `status` for base name `base`. False, with the cause, when there
// is no registry; status then says so and holds zeros (every format can
// still be written).
bool ReadPipeStatus(const char* base, PipeStatus& status, IpcFailure& failure);

// "velmox-registry status": a line per pipe, then the totals.
std::string FormatStatusText(const PipeStatus& status);
// One JSON object.
std::string FormatStatusJson(const PipeStatus& status);
// OpenMetrics 1.0 text: HELP and TYPE for each family, "# EOF" at the end.
std::string FormatOpenMetrics(const PipeStatus& status);
// The media type of that text.
extern const char kOpenMetricsContentType[];

#endif
