#include "maps/GdalSupport.h"

#include "maps/GeoErrors.h"

#include <cpl_error.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace lrptgeo {

void RegisterGdal() {
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
}

TGdalErrors::TGdalErrors() {
    RegisterGdal();
    CPLPushErrorHandlerEx(&TGdalErrors::Handler, this);
}

TGdalErrors::~TGdalErrors() {
    CPLPopErrorHandler();
}

void CPL_STDCALL TGdalErrors::Handler(CPLErr aClass, CPLErrorNum, const char* aMessage) {
    auto* self = static_cast<TGdalErrors*>(CPLGetErrorHandlerUserData());
    const std::string message = OneLine(aMessage ? aMessage : "");
    if (aClass == CE_Failure || aClass == CE_Fatal) {
        if (self) self->fLastError = message;
    } else if (aClass == CE_Warning) {
        EmitGeoMessage("GDAL: " + message);
    }
}

TAtomicPath::TAtomicPath(std::string aPath) : fPath(std::move(aPath)) {
    static std::atomic<unsigned> counter{0};
    fTemporary = fPath + ".part-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

TAtomicPath::~TAtomicPath() {
    if (!fCommitted) std::remove(fTemporary.c_str());
}

void TAtomicPath::Commit() {
    if (std::rename(fTemporary.c_str(), fPath.c_str()) != 0)
        throw EGeoWriteError("cannot write " + fPath + ": " + std::strerror(errno));
    fCommitted = true;
}

} // namespace lrptgeo
