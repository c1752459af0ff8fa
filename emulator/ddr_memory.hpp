// Byte-addressed board memory that allocates its storage lazily in 1 MiB
// pages: an idle emulator with a 256 MiB memory uses almost nothing, and a
// page nobody wrote reads as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class DdrMemory {
public:
    static constexpr uint64_t PAGE_SIZE = uint64_t(1) << 20;

    explicit DdrMemory(uint64_t size_bytes);

    uint64_t size() const { return size_; }
    // True when [address, address + length) lies inside the memory (overflow-safe).
    bool contains(uint64_t address, uint64_t length) const {
        return address <= size_ && length <= size_ - address;
    }
    // Both require contains(address, length); callers check first.
    void write(uint64_t address, const uint8_t* data, uint64_t length);
    void read(uint64_t address, uint8_t* out, uint64_t length) const;
    // Compares [address, address + length) with `data` without copying.
    bool equals(uint64_t address, const uint8_t* data, uint64_t length) const;
    // The bytes of [address, address + length) in place when they lie in one
    // allocated page, else nullptr (then read() them). Valid until the next
    // write or clear.
    const uint8_t* view(uint64_t address, uint64_t length) const;
    // Drops every page: the whole memory reads as zeros again.
    void clear();
    uint64_t pages_allocated() const;

private:
    uint64_t size_;
    std::vector<std::unique_ptr<uint8_t[]>> pages_;
};
