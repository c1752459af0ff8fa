// Deterministic fault decisions of the emulator. Every kind of random fault
// draws from a generator of its own, derived from the one seed, so that
// switching one fault on does not change the decisions of another and a
// failing test repeats exactly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// splitmix64: small, fast and good enough for fault decisions.
class FaultRandom {
public:
    explicit FaultRandom(uint64_t seed = 1) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    // True with probability p; draws nothing when p is 0 or 1, so a fault that is
    // off never moves its generator.
    bool chance(double p) {
        if (!(p > 0.0)) return false;
        if (p >= 1.0) return true;
        return uniform() < p;
    }
    uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }

private:
    uint64_t state_;
};

// One generator per fault kind.
enum class FaultKind : uint64_t {
    DropRequest = 1,
    DropReply,
    Nack,
    Duplicate,
    Oversize,
    StreamGap,
    EmptyBefore,
    StreamDuplicate,
    StreamSwap,  // the last: FaultGenerators holds one generator per kind up to it
};

inline FaultRandom fault_random(uint64_t seed, FaultKind kind) {
    // Mix the kind into the seed through one splitmix step so neighbouring seeds
    // give unrelated streams.
    FaultRandom mixer(seed * 0x100000001B3ull + static_cast<uint64_t>(kind));
    return FaultRandom(mixer.next());
}

// The generators of all kinds of random fault, indexed by the kind.
class FaultGenerators {
public:
    explicit FaultGenerators(uint64_t seed) {
        for (size_t i = 0; i < generators_.size(); ++i) generators_[i] = fault_random(seed, FaultKind(i + 1));
    }
    FaultRandom& operator[](FaultKind kind) { return generators_[size_t(kind) - 1]; }

private:
    std::array<FaultRandom, size_t(FaultKind::StreamSwap)> generators_;
};
