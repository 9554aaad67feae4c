// The output symbol file: one byte per symbol in the 3-bit soft form, no header, written in
// blocks of 6739 bytes.
#pragma once

#include "core/SymbolSink.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

// Collects symbol bytes and writes each full block of 6739 bytes in one write. A partly filled
// block is written when the file is closed or replaced, so every symbol reaches the file that was
// open when it was produced. While no file is open the symbols are counted as dropped, never
// written anywhere. Not copyable.
class TSymbolWriter : public SymbolSink {
  public:
    static constexpr int BlockSize = 6739;

    TSymbolWriter() = default;
    TSymbolWriter(const TSymbolWriter&) = delete;
    TSymbolWriter& operator=(const TSymbolWriter&) = delete;
    ~TSymbolWriter() override { Close(); }

    // Flushes and closes the current file, then creates (or truncates) aPath. Returns false when
    // it cannot be created; no file is open then.
    bool Open(const std::string& aPath);
    // Writes the pending bytes and closes the file (nothing happens when none is open).
    void Close();
    // Writes the pending bytes now (end of the input).
    void Flush();

    bool IsOpen() const { return fFile != nullptr; }
    const std::string& Path() const { return fPath; }

    void Put(uint8_t aByte) override {
        if (!fFile) {
            ++fDropped;
            return;
        }
        fBlock[fFill++] = aByte;
        if (fFill == BlockSize) WritePending();
    }

    int Pending() const { return fFill; }
    int64_t Written() const { return fWritten; } // bytes written into files so far
    int64_t Dropped() const { return fDropped; } // symbols lost while no file was open
    // A write or close that failed (disk full, ...), since the last Open; the bytes are lost.
    bool Failed() const { return fFailed; }

  private:
    void WritePending();

    std::FILE* fFile = nullptr;
    std::string fPath;
    std::array<uint8_t, BlockSize> fBlock{};
    int fFill = 0;
    int64_t fWritten = 0;
    int64_t fDropped = 0;
    bool fFailed = false;
};
