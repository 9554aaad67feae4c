// Generic seekable byte streams: a file and a growable memory block.
//
// Read and Write move as many bytes as they can and return the count; ReadBuffer and
// WriteBuffer move the whole count or throw EReadError / EWriteError.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
  public:
    virtual ~TStream() = default;

    virtual int64_t Read(void* aBuffer, int64_t aCount) = 0;
    virtual int64_t Write(const void* aBuffer, int64_t aCount) = 0;
    virtual int64_t Seek(int64_t aOffset, TSeekOrigin aOrigin) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t aPosition) { Seek(aPosition, TSeekOrigin::soBeginning); }
    virtual int64_t Size();

    void ReadBuffer(void* aBuffer, int64_t aCount);
    void WriteBuffer(const void* aBuffer, int64_t aCount);
};

enum class TFileMode {
    fmCreate,        // create or truncate, read and write
    fmOpenRead,      // existing file, read only
    fmOpenReadWrite, // existing file, read and write
};

// A file on disk. Opening failures throw EFOpenError / EFCreateError naming the file.
class TFileStream : public TStream {
  public:
    TFileStream(const std::string& aFileName, TFileMode aMode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* aBuffer, int64_t aCount) override;
    int64_t Write(const void* aBuffer, int64_t aCount) override;
    int64_t Seek(int64_t aOffset, TSeekOrigin aOrigin) override;
    int64_t Size() override;

    const std::string& FileName() const { return fFileName; }
    // Pushes buffered bytes to the file; throws EWriteError when the system refuses them.
    void Flush();

  private:
    std::FILE* fFile = nullptr;
    std::string fFileName;
    bool fLastWasWrite = false;
    bool fLastWasRead = false;
};

// A growable block of memory. Writing past the end grows it; seeking past the end is allowed and
// the gap is filled with zeros by the next write.
class TMemoryStream : public TStream {
  public:
    int64_t Read(void* aBuffer, int64_t aCount) override;
    int64_t Write(const void* aBuffer, int64_t aCount) override;
    int64_t Seek(int64_t aOffset, TSeekOrigin aOrigin) override;
    int64_t Size() override { return static_cast<int64_t>(fData.size()); }

    void SetSize(int64_t aSize);
    void Clear();
    uint8_t* Memory() { return fData.data(); }
    const uint8_t* Memory() const { return fData.data(); }

    void SaveToFile(const std::string& aFileName);
    void LoadFromFile(const std::string& aFileName);

  private:
    std::vector<uint8_t> fData;
    int64_t fPosition = 0;
};
