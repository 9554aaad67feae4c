#include "app/SymbolWriter.h"

bool TSymbolWriter::Open(const std::string& aPath) {
    Close();
    fFailed = false;
    fFile = std::fopen(aPath.c_str(), "wb");
    fPath = fFile ? aPath : std::string();
    // Each block goes to the file in one write of its own, not through a stdio buffer.
    if (fFile) std::setvbuf(fFile, nullptr, _IONBF, 0);
    return fFile != nullptr;
}

void TSymbolWriter::Close() {
    if (!fFile) return;
    WritePending();
    if (std::fclose(fFile) != 0) fFailed = true;
    fFile = nullptr;
}

void TSymbolWriter::Flush() {
    if (!fFile) return;
    WritePending();
    if (std::fflush(fFile) != 0) fFailed = true;
}

void TSymbolWriter::WritePending() {
    if (fFill == 0 || !fFile) return;
    const size_t n = std::fwrite(fBlock.data(), 1, size_t(fFill), fFile);
    if (n != size_t(fFill)) fFailed = true;
    fWritten += int64_t(n);
    fFill = 0;
}
