#include "platform/Streams.h"

#include "platform/Exceptions.h"

#include <cerrno>
#include <cstring>

int64_t TStream::Size() {
    const int64_t here = Seek(0, TSeekOrigin::soCurrent);
    const int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(here, TSeekOrigin::soBeginning);
    return end;
}

void TStream::ReadBuffer(void* aBuffer, int64_t aCount) {
    if (aCount != 0 && Read(aBuffer, aCount) != aCount) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* aBuffer, int64_t aCount) {
    if (aCount != 0 && Write(aBuffer, aCount) != aCount) throw EWriteError("Stream write error");
}

TFileStream::TFileStream(const std::string& aFileName, TFileMode aMode) : fFileName(aFileName) {
    const char* how = aMode == TFileMode::fmCreate ? "w+b" : aMode == TFileMode::fmOpenRead ? "rb" : "r+b";
    fFile = std::fopen(aFileName.c_str(), how);
    if (!fFile) {
        const std::string reason = std::strerror(errno);
        if (aMode == TFileMode::fmCreate)
            throw EFCreateError("Cannot create file \"" + aFileName + "\". " + reason);
        throw EFOpenError("Cannot open file \"" + aFileName + "\". " + reason);
    }
}

TFileStream::~TFileStream() {
    if (fFile) std::fclose(fFile);
}

int64_t TFileStream::Read(void* aBuffer, int64_t aCount) {
    if (aCount <= 0) return 0;
    // C streams need a positioning call between a write and a read.
    if (fLastWasWrite) std::fseek(fFile, 0, SEEK_CUR);
    fLastWasWrite = false;
    fLastWasRead = true;
    return static_cast<int64_t>(std::fread(aBuffer, 1, static_cast<size_t>(aCount), fFile));
}

int64_t TFileStream::Write(const void* aBuffer, int64_t aCount) {
    if (aCount <= 0) return 0;
    if (fLastWasRead) std::fseek(fFile, 0, SEEK_CUR);
    fLastWasRead = false;
    fLastWasWrite = true;
    return static_cast<int64_t>(std::fwrite(aBuffer, 1, static_cast<size_t>(aCount), fFile));
}

int64_t TFileStream::Seek(int64_t aOffset, TSeekOrigin aOrigin) {
    const int whence = aOrigin == TSeekOrigin::soBeginning ? SEEK_SET
                       : aOrigin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                           : SEEK_END;
    if (!(aOffset == 0 && aOrigin == TSeekOrigin::soCurrent)) {
        if (fseeko(fFile, static_cast<off_t>(aOffset), whence) != 0) return -1;
        fLastWasRead = fLastWasWrite = false;
    }
    return static_cast<int64_t>(ftello(fFile));
}

int64_t TFileStream::Size() {
    std::fflush(fFile);
    return TStream::Size();
}

void TFileStream::Flush() {
    if (std::fflush(fFile) != 0) throw EWriteError("Cannot write file \"" + fFileName + "\"");
}

int64_t TMemoryStream::Read(void* aBuffer, int64_t aCount) {
    const int64_t available = Size() - fPosition;
    const int64_t n = aCount < available ? aCount : available;
    if (n <= 0) return 0;
    std::memcpy(aBuffer, fData.data() + fPosition, static_cast<size_t>(n));
    fPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* aBuffer, int64_t aCount) {
    if (aCount <= 0) return 0;
    if (fPosition + aCount > Size()) fData.resize(static_cast<size_t>(fPosition + aCount));
    std::memcpy(fData.data() + fPosition, aBuffer, static_cast<size_t>(aCount));
    fPosition += aCount;
    return aCount;
}

int64_t TMemoryStream::Seek(int64_t aOffset, TSeekOrigin aOrigin) {
    const int64_t base = aOrigin == TSeekOrigin::soBeginning ? 0
                         : aOrigin == TSeekOrigin::soCurrent ? fPosition
                                                             : Size();
    const int64_t target = base + aOffset;
    if (target >= 0) fPosition = target;
    return fPosition;
}

void TMemoryStream::SetSize(int64_t aSize) {
    fData.resize(static_cast<size_t>(aSize < 0 ? 0 : aSize));
    if (fPosition > Size()) fPosition = Size();
}

void TMemoryStream::Clear() {
    fData.clear();
    fPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& aFileName) {
    TFileStream file(aFileName, TFileMode::fmCreate);
    file.WriteBuffer(fData.data(), Size());
    file.Flush();
}

void TMemoryStream::LoadFromFile(const std::string& aFileName) {
    TFileStream file(aFileName, TFileMode::fmOpenRead);
    const int64_t size = file.Size();
    std::vector<uint8_t> data(static_cast<size_t>(size));
    file.ReadBuffer(data.data(), size);
    fData = std::move(data);
    fPosition = 0;
}
