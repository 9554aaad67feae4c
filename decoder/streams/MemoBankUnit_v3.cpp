#include "streams/MemoBankUnit_v3.h"

#include "platform/SysUtils.h"

#include <cstdlib>
#include <mutex>

TMemoBank::TMemoBank(int32_t aBufferSize, std::string aMaster, uint16_t aUnTerminatedLimit)
    : BufferSize(aBufferSize), UnTerminatedLimit(aUnTerminatedLimit), Master(std::move(aMaster)) {
    for (int i = 0; i < aUnTerminatedLimit; ++i) {
        uint8_t* page = NewBuffer();
        if (page) fFree.push_back(page);
    }
}

TMemoBank::~TMemoBank() {
    for (uint8_t* page : fFree)
        std::free(page);
}

uint8_t* TMemoBank::GetBuffer() {
    std::lock_guard<TCriticalSection> guard(MemoBankCS);
    uint8_t* page = nullptr;
    if (!fFree.empty()) {
        page = fFree.front();
        fFree.pop_front();
    } else {
        page = NewBuffer();
    }
    if (page) fBufferCount.fetch_add(1);
    return page;
}

void TMemoBank::Retrieve(uint8_t* p, bool aNoFreeMem) {
    if (!p) return;
    std::lock_guard<TCriticalSection> guard(MemoBankCS);
    if (fFree.size() < UnTerminatedLimit || aNoFreeMem)
        fFree.push_back(p);
    else
        std::free(p);
    fBufferCount.fetch_sub(1);
}

int TMemoBank::FreeCount() const {
    std::lock_guard<TCriticalSection> guard(MemoBankCS);
    return static_cast<int>(fFree.size());
}

uint8_t* TMemoBank::NewBuffer() {
    std::lock_guard<TCriticalSection> guard(MemoBankCS);
    if (3 * static_cast<int64_t>(BufferSize) >= FreePhysicalMemory()) return nullptr;
    return static_cast<uint8_t*>(std::malloc(static_cast<size_t>(BufferSize)));
}

TMemoBank& CommonBank() {
    static TMemoBank bank(1048576, "CommonBank", 3);
    return bank;
}
