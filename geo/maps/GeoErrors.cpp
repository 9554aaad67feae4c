#include "maps/GeoErrors.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace lrptgeo {

namespace {

std::mutex gSinkLock;
std::shared_ptr<const TGeoMessageSink> gSink;

} // namespace

std::string OneLine(std::string_view aText) {
    std::string s(aText);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

void SetGeoMessageSink(TGeoMessageSink aSink) {
    auto sink = aSink ? std::make_shared<const TGeoMessageSink>(std::move(aSink)) : nullptr;
    std::lock_guard lock(gSinkLock);
    gSink = std::move(sink);
}

void EmitGeoMessage(std::string_view aLine) {
    std::shared_ptr<const TGeoMessageSink> sink;
    {
        std::lock_guard lock(gSinkLock);
        sink = gSink;
    }
    if (sink) {
        (*sink)(aLine);
    } else {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(aLine.size()), aLine.data());
    }
}

} // namespace lrptgeo
