#include "pipe_status.h"

#include <cinttypes>
#include <cstdio>

#include "registry.h"

const char kOpenMetricsContentType[] = "application/openmetrics-text; version=1.0.0; charset=utf-8";

namespace {

void AddHistogram(CounterHistogram& total, const CounterHistogram& part) {
    for (int i = 0; i < kCounterBuckets; ++i) total.buckets[i] += part.buckets[i];
    total.sumUs += part.sumUs;
}

uint64_t HistogramCount(const CounterHistogram& histogram) {
    uint64_t count = 0;
    for (uint64_t n : histogram.buckets) count += n;
    return count;
}

std::string Seconds(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6g", seconds);
    return buffer;
}

std::string Number(uint64_t n) { return std::to_string(n); }

// Escapes a label value or JSON string: backslash, quote, newline.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') out += "\\n";
        else if (uint8_t(c) < 0x20) out += ' ';
        else out += c;
    }
    return out;
}

PipeState StateOf(const ServerID& entry) {
    if (entry.clientPid == -1) return PipeState::Idle;
    if (entry.clientPid == entry.serverPid || !ipc::ProcessExists(entry.clientPid)) return PipeState::Recovering;
    return PipeState::Busy;
}

// One histogram family's samples: cumulative buckets, the count and the sum.
void WriteHistogram(std::string& out, const std::string& name, const CounterHistogram& histogram) {
    uint64_t cumulative = 0;
    for (int i = 0; i < kCounterBuckets; ++i) {
        cumulative += histogram.buckets[i];
        std::string bound = i < kCounterBounds ? Seconds(double(kCounterBucketBoundsUs[i]) / 1e6) : "+Inf";
        out += name + "_bucket{le=\"" + bound + "\"} " + Number(cumulative) + "\n";
    }
    out += name + "_count " + Number(cumulative) + "\n";
    out += name + "_sum " + Seconds(double(histogram.sumUs) / 1e6) + "\n";
}

// A counter's family is named with its samples' _total, as promtool's lint
// and Prometheus's parser of both text formats take it.
void Family(std::string& out, const char* name, const char* type, const char* help, const char* unit = nullptr) {
    out += std::string("# TYPE ") + name + " " + type + "\n";
    if (unit) out += std::string("# UNIT ") + name + " " + unit + "\n";
    out += std::string("# HELP ") + name + " " + help + "\n";
}

std::string JsonHistogram(const CounterHistogram& histogram) {
    std::string out = "{\"count\": " + Number(HistogramCount(histogram)) +
                      ", \"sum_seconds\": " + Seconds(double(histogram.sumUs) / 1e6) + ", \"buckets\": [";
    uint64_t cumulative = 0;
    for (int i = 0; i < kCounterBuckets; ++i) {
        cumulative += histogram.buckets[i];
        std::string bound = i < kCounterBounds ? Seconds(double(kCounterBucketBoundsUs[i]) / 1e6) : "\"+Inf\"";
        out += std::string(i ? ", " : "") + "{\"le\": " + bound + ", \"count\": " + Number(cumulative) + "}";
    }
    return out + "]}";
}

}  // namespace

const char* PipeStateName(PipeState state) {
    switch (state) {
    case PipeState::Idle: return "idle";
    case PipeState::Busy: return "busy";
    case PipeState::Recovering: return "recovering";
    }
    return "unknown";
}

int PipeStatus::Count(PipeState state) const {
    int n = 0;
    for (const PipeStatusEntry& pipe : pipes) n += pipe.state == state ? 1 : 0;
    return n;
}

bool ReadPipeStatus(const char* base, PipeStatus& status, IpcFailure& failure) {
    status = PipeStatus();
    status.base = base ? base : "";
    ServerMonitor monitor;
    if (!monitor.Inspect(base)) {
        failure = monitor.Failure();
        return false;
    }
    const ServerList* list = monitor.Block();
    status.registry = true;
    status.freeServers = monitor.FreeServerCount();
    const CounterBlock* counters = monitor.Counters().Block();
    status.counters = counters != nullptr;
    int limit = int(__atomic_load_n(&list->max, __ATOMIC_RELAXED));
    if (limit > kMaxServers) limit = kMaxServers;
    uint64_t now = PipeCounters::NowUs();
    for (int slot = 0; slot < limit; ++slot) {
        ServerID entry;
        entry.index = __atomic_load_n(&list->servers[slot].index, __ATOMIC_ACQUIRE);
        entry.clientPid = __atomic_load_n(&list->servers[slot].clientPid, __ATOMIC_RELAXED);
        entry.serverPid = __atomic_load_n(&list->servers[slot].serverPid, __ATOMIC_RELAXED);
        if (entry.index != slot) continue;
        PipeStatusEntry pipe;
        pipe.slot = slot;
        pipe.pid = entry.serverPid;
        pipe.state = StateOf(entry);
        if (counters) {
            const SlotCounters& own = counters->slots[slot];
            pipe.requests = LoadCounter(own.requests);
            pipe.timeouts = LoadCounter(own.timeouts);
            uint64_t since = LoadCounter(own.busySinceUs);
            if (since && now > since && __atomic_load_n(&own.serverPid, __ATOMIC_RELAXED) == entry.serverPid)
                pipe.currentAgeSeconds = double(now - since) / 1e6;
        }
        status.pipes.push_back(pipe);
    }
    if (counters) {
        for (int slot = 0; slot < kMaxServers; ++slot) {
            const SlotCounters& own = counters->slots[slot];
            if (__atomic_load_n(&own.serverPid, __ATOMIC_ACQUIRE) == 0) continue;
            PipeStatus::SlotTotals totals{slot, LoadCounter(own.requests), LoadCounter(own.timeouts)};
            status.slots.push_back(totals);
            status.requests += totals.requests;
            status.timeouts += totals.timeouts;
            AddHistogram(status.durations, LoadHistogram(own.durations));
        }
        status.waits = LoadCounter(counters->waits);
        status.waited = LoadHistogram(counters->waited);
        for (int kind = 0; kind < kExchangeFailureKinds; ++kind)
            status.failures[kind] = LoadCounter(counters->failures[kind]);
    }
    return true;
}

std::string FormatStatusText(const PipeStatus& status) {
    std::string out = "base name " + status.base + ": ";
    if (!status.registry) return out + "no registry\n";
    out += std::to_string(status.pipes.size()) + " pipes (" + std::to_string(status.Count(PipeState::Idle)) +
           " idle, " + std::to_string(status.Count(PipeState::Busy)) + " busy, " +
           std::to_string(status.Count(PipeState::Recovering)) + " recovering)\n";
    char line[160];
    std::snprintf(line, sizeof line, "%-5s %-8s %-11s %10s %12s %9s\n", "slot", "pid", "state", "requests",
                  "current (s)", "timeouts");
    out += line;
    for (const PipeStatusEntry& pipe : status.pipes) {
        std::string age = pipe.currentAgeSeconds > 0 ? Seconds(pipe.currentAgeSeconds) : "-";
        std::snprintf(line, sizeof line, "%-5d %-8d %-11s %10" PRIu64 " %12s %9" PRIu64 "\n", pipe.slot,
                      int(pipe.pid), PipeStateName(pipe.state), pipe.requests, age.c_str(), pipe.timeouts);
        out += line;
    }
    if (!status.counters) return out + "no counters (the server task runs with VELMOX_COUNTERS=off)\n";
    uint64_t answered = HistogramCount(status.durations);
    out += "requests answered: " + Number(status.requests) + ", ended by the timeout: " + Number(status.timeouts) +
           ", time serving: " + Seconds(double(status.durations.sumUs) / 1e6) + " s";
    if (answered) out += " (mean " + Seconds(double(status.durations.sumUs) / 1e6 / double(answered)) + " s)";
    out += "\nclients that waited for a free server: " + Number(status.waits) + ", for " +
           Seconds(double(status.waited.sumUs) / 1e6) + " s in all\nfailed exchanges:";
    for (int kind = 0; kind < kExchangeFailureKinds; ++kind)
        out += std::string(kind ? "," : "") + " " + ExchangeFailureName(ExchangeFailure(kind)) + " " +
               Number(status.failures[kind]);
    return out + "\n";
}

std::string FormatStatusJson(const PipeStatus& status) {
    std::string out = "{\"base\": \"" + Escaped(status.base) + "\", \"registry\": " +
                      (status.registry ? "true" : "false") + ", \"counters\": " +
                      (status.counters ? "true" : "false") + ", \"free_servers\": " +
                      std::to_string(status.freeServers) + ",\n \"pipes\": [";
    for (size_t i = 0; i < status.pipes.size(); ++i) {
        const PipeStatusEntry& pipe = status.pipes[i];
        out += std::string(i ? ",\n  " : "\n  ") + "{\"slot\": " + std::to_string(pipe.slot) +
               ", \"pid\": " + std::to_string(pipe.pid) + ", \"state\": \"" + PipeStateName(pipe.state) +
               "\", \"requests\": " + Number(pipe.requests) + ", \"current_request_seconds\": " +
               Seconds(pipe.currentAgeSeconds) + ", \"timeouts\": " + Number(pipe.timeouts) + "}";
    }
    out += "],\n \"totals\": {\"pipes\": " + std::to_string(status.pipes.size()) +
           ", \"idle\": " + std::to_string(status.Count(PipeState::Idle)) +
           ", \"busy\": " + std::to_string(status.Count(PipeState::Busy)) +
           ", \"recovering\": " + std::to_string(status.Count(PipeState::Recovering)) +
           ", \"requests\": " + Number(status.requests) + ", \"timeouts\": " + Number(status.timeouts) +
           ", \"client_waits\": " + Number(status.waits) + ",\n  \"failures\": {";
    for (int kind = 0; kind < kExchangeFailureKinds; ++kind)
        out += std::string(kind ? ", " : "") + "\"" + ExchangeFailureName(ExchangeFailure(kind)) +
               "\": " + Number(status.failures[kind]);
    out += "},\n  \"request_duration\": " + JsonHistogram(status.durations) +
           ",\n  \"client_wait\": " + JsonHistogram(status.waited) + "}}\n";
    return out;
}

std::string FormatOpenMetrics(const PipeStatus& status) {
    std::string out;
    Family(out, "velmox_up", "gauge", "Whether the base name has a registry (a server task registered pipes).");
    out += std::string("velmox_up ") + (status.registry ? "1" : "0") + "\n";
    Family(out, "velmox_pipes", "gauge", "Registered server pipes by state.");
    for (PipeState state : {PipeState::Idle, PipeState::Busy, PipeState::Recovering})
        out += std::string("velmox_pipes{state=\"") + PipeStateName(state) + "\"} " +
               std::to_string(status.Count(state)) + "\n";
    Family(out, "velmox_requests_total", "counter", "Requests answered, by the slot of the pipe that answered them.");
    for (const PipeStatus::SlotTotals& slot : status.slots)
        out += "velmox_requests_total{pipe=\"" + std::to_string(slot.slot) + "\"} " + Number(slot.requests) + "\n";
    Family(out, "velmox_request_timeouts_total", "counter", "Requests ended by the request timeout, by slot.");
    for (const PipeStatus::SlotTotals& slot : status.slots)
        out += "velmox_request_timeouts_total{pipe=\"" + std::to_string(slot.slot) + "\"} " + Number(slot.timeouts) +
               "\n";
    Family(out, "velmox_request_duration_seconds", "histogram", "Time from taking a request to answering it.",
           "seconds");
    WriteHistogram(out, "velmox_request_duration_seconds", status.durations);
    Family(out, "velmox_current_request_age_seconds", "gauge", "How long each busy pipe's request has run.",
           "seconds");
    for (const PipeStatusEntry& pipe : status.pipes)
        if (pipe.currentAgeSeconds > 0)
            out += "velmox_current_request_age_seconds{pipe=\"" + std::to_string(pipe.slot) + "\",pid=\"" +
                   std::to_string(pipe.pid) + "\"} " + Seconds(pipe.currentAgeSeconds) + "\n";
    Family(out, "velmox_client_wait_seconds", "histogram", "Waits of clients that found no free server.", "seconds");
    WriteHistogram(out, "velmox_client_wait_seconds", status.waited);
    Family(out, "velmox_exchange_failures_total", "counter", "Exchanges that failed, by cause.");
    for (int kind = 0; kind < kExchangeFailureKinds; ++kind)
        out += std::string("velmox_exchange_failures_total{cause=\"") + ExchangeFailureName(ExchangeFailure(kind)) +
               "\"} " + Number(status.failures[kind]) + "\n";
    return out + "# EOF\n";
}
