// Waiting on the processor, for a short bounded time, for an event that is
// usually microseconds away, before sleeping on its semaphore: a client for
// its answer (exchange::SpinForAnswer), a server pipe for its next request
// (exchange::SpinForRequest). A sleep costs the sleeper a context switch and
// its waker a wake-up; a process that saw its event coming takes the
// event's signal at once instead, in the same atomic step a sleeper takes
// it with. Nothing in the semaphores' sequence changes, so a process that
// spins works with one that does not, both ways.
//
// A spin is adaptive. It is made only
// - while a core is free for it (CoreFree): fewer processes of the pipe busy
//   than the cores this process may run on (each exchange in flight counts
//   twice, its client and its server), and the machine not saturated: over
//   the last tenth of a second, tasks waited for a processor less than half
//   the time (the kernel's CPU pressure, /proc/pressure/cpu; without it,
//   fewer tasks runnable than cores, /proc/loadavg);
// - when the waits of that kind were short lately (Estimate): a waiter spins
//   at most twice its recent typical wait, never longer than the kind's
//   limit, and not at all before it has seen a wait of that kind, or while
//   they take longer than the limit;
// - while spinning pays: the waits that spun and saw their event must have
//   been shorter, from the post to the event, than the waits that slept,
//   by a tenth at least (a waiter whose partner runs on its own core wins
//   the wake-ups; one that would have handed its core to the partner at
//   once, as the system often does, loses the partner's wake-up on another
//   core instead). Every sixteenth wait does the other thing, to keep both
//   figures current. A spin that ran out without its event (the other side
//   slow, or unable to run while this one spun) is followed by waits that
//   sleep at once: 1, then 2, 4 ... up to 1,024 after each further one,
//   until a spin sees its event again.
// A spin never delays what a sleeper would see: every wait that follows it
// is the same wait a sleeper makes, from its start.
//
// VELMOX_SPIN=off in the environment switches spinning off in a process,
// VELMOX_SPIN=on makes every wait spin to its kind's limit whatever the
// machine's load (the benchmarks' and tests' switches); read at the first
// wait of a process, unless the program chose a mode itself before.
//
// Error convention: nothing here fails or throws; a measure that cannot be
// read counts as a saturated machine. Every function is safe on any thread.
#ifndef VELMOX_SPIN_WAIT_H
#define VELMOX_SPIN_WAIT_H

#include <cstdint>

namespace spin {

enum class Mode { Adaptive, Off, Always };
// The process's mode: the program's choice, else VELMOX_SPIN's.
Mode ProcessMode();
// A program's choice for the whole process (and the children it forks).
void SetProcessMode(Mode mode);

// CLOCK_MONOTONIC in nanoseconds (no system call: the vDSO).
uint64_t NowNs();

// True while a core is free for one more spinning process, given the
// exchanges in flight on the pipe besides the caller's own.
bool CoreFree(int otherExchanges);

// What the waits of one kind of one waiter took lately, and how long the
// next one may spin. Not shared between threads: one per client or pipe.
class Estimate {
public:
    explicit Estimate(uint64_t limitNs) : m_limitNs(limitNs) {}
    // Nanoseconds the next wait may spin; 0: sleep at once. Looks at the
    // machine (CoreFree) only when the waits were short lately.
    uint64_t Budget(int otherExchanges);
    // The wait given a budget spun: whether it saw its event.
    void Spun(bool hit);
    // The wait took `ns` from its start to its event, spun or slept.
    void Record(uint64_t ns);
    // Waits that spun, and those of them that saw their event.
    uint64_t Spins() const { return m_spins; }
    uint64_t Hits() const { return m_hits; }

private:
    enum class Kind : uint8_t { Other, Spun, Slept };

    uint64_t m_limitNs;
    uint64_t m_typicalNs = 0;  // moving averages of the recent waits: all of them,
    uint64_t m_spunNs = 0;     // those that spun and saw their event,
    uint64_t m_sleptNs = 0;    // and those that could have spun and slept; 0: none yet
    Kind m_kind = Kind::Other; // what the wait being made does
    bool m_hit = false;
    uint32_t m_turn = 0;       // waits that could spin, counted for the turns of the other thing
    uint32_t m_pause = 0;      // waits to sleep at once after spins that ran out
    uint32_t m_skip = 0;       // of those, still to come
    uint64_t m_spins = 0, m_hits = 0;
};

// A hint to the processor that this thread spins (the other thread of a
// core gets its turn).
inline void Relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#else
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
#endif
}

// Spins until ready() holds or budgetNs have passed; true when it held.
template <class Ready>
bool Until(Ready ready, uint64_t budgetNs) {
    uint64_t end = NowNs() + budgetNs;
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        Relax();
        // The clock every 16 turns: its read costs a few of them.
        if ((i & 15) == 0 && NowNs() >= end) return ready();
    }
}

}  // namespace spin

#endif
