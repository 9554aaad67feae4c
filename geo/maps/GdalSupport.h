// GDAL within the geo library: drivers registered once, datasets closed by their holder, GDAL's error
// handler routed to our messages while a holder of TGdalErrors lives, and writes that land whole or
// not at all. Internal to the library.
#pragma once

#include <gdal.h>

#include <memory>
#include <string>

namespace lrptgeo {

struct TGdalDatasetCloser {
    void operator()(GDALDatasetH aDataset) const {
        if (aDataset) GDALClose(aDataset);
    }
};
using TGdalDataset = std::unique_ptr<std::remove_pointer_t<GDALDatasetH>, TGdalDatasetCloser>;

void RegisterGdal();

// While it lives, GDAL's errors on this thread are kept (the last one is LastError()) and its warnings
// go to EmitGeoMessage; nothing is printed by GDAL itself.
class TGdalErrors {
  public:
    TGdalErrors();
    ~TGdalErrors();
    TGdalErrors(const TGdalErrors&) = delete;
    TGdalErrors& operator=(const TGdalErrors&) = delete;

    const std::string& LastError() const { return fLastError; }
    // ": <last error>" or "" when GDAL said nothing.
    std::string Reason() const { return fLastError.empty() ? std::string() : ": " + fLastError; }

  private:
    static void CPL_STDCALL Handler(CPLErr aClass, CPLErrorNum aNumber, const char* aMessage);
    std::string fLastError;
};

// A temporary name beside aPath for writing, renamed over aPath by Commit(); the temporary file is
// removed if Commit() was not reached.
class TAtomicPath {
  public:
    explicit TAtomicPath(std::string aPath);
    ~TAtomicPath();
    TAtomicPath(const TAtomicPath&) = delete;
    TAtomicPath& operator=(const TAtomicPath&) = delete;

    const std::string& Temporary() const { return fTemporary; }
    // Throws EGeoWriteError naming the file when the rename fails.
    void Commit();

  private:
    std::string fPath, fTemporary;
    bool fCommitted = false;
};

} // namespace lrptgeo
