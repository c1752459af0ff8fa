#include "emulator/ddr_memory.hpp"

#include <algorithm>
#include <cstring>

DdrMemory::DdrMemory(uint64_t size_bytes)
    : size_(size_bytes), pages_(static_cast<size_t>((size_bytes + PAGE_SIZE - 1) / PAGE_SIZE)) {}

void DdrMemory::write(uint64_t address, const uint8_t* data, uint64_t length) {
    while (length > 0) {
        const uint64_t page = address / PAGE_SIZE;
        const uint64_t offset = address % PAGE_SIZE;
        const uint64_t n = std::min(length, PAGE_SIZE - offset);
        auto& storage = pages_[page];
        if (!storage) {
            storage.reset(new uint8_t[PAGE_SIZE]);
            std::memset(storage.get(), 0, PAGE_SIZE);
        }
        std::memcpy(storage.get() + offset, data, n);
        address += n;
        data += n;
        length -= n;
    }
}

void DdrMemory::read(uint64_t address, uint8_t* out, uint64_t length) const {
    while (length > 0) {
        const uint64_t page = address / PAGE_SIZE;
        const uint64_t offset = address % PAGE_SIZE;
        const uint64_t n = std::min(length, PAGE_SIZE - offset);
        const auto& storage = pages_[page];
        if (storage)
            std::memcpy(out, storage.get() + offset, n);
        else
            std::memset(out, 0, n);
        address += n;
        out += n;
        length -= n;
    }
}

bool DdrMemory::equals(uint64_t address, const uint8_t* data, uint64_t length) const {
    while (length > 0) {
        const uint64_t page = address / PAGE_SIZE;
        const uint64_t offset = address % PAGE_SIZE;
        const uint64_t n = std::min(length, PAGE_SIZE - offset);
        const auto& storage = pages_[page];
        if (storage) {
            if (std::memcmp(storage.get() + offset, data, n) != 0) return false;
        } else {
            for (uint64_t i = 0; i < n; ++i)
                if (data[i] != 0) return false;
        }
        address += n;
        data += n;
        length -= n;
    }
    return true;
}

const uint8_t* DdrMemory::view(uint64_t address, uint64_t length) const {
    if (!contains(address, length) || length == 0) return nullptr;
    const uint64_t page = address / PAGE_SIZE;
    if ((address + length - 1) / PAGE_SIZE != page || !pages_[page]) return nullptr;
    return pages_[page].get() + address % PAGE_SIZE;
}

void DdrMemory::clear() {
    for (auto& page : pages_) page.reset();
}

uint64_t DdrMemory::pages_allocated() const {
    return static_cast<uint64_t>(std::count_if(pages_.begin(), pages_.end(), [](const auto& p) { return bool(p); }));
}
