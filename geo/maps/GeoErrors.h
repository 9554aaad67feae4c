// Typed refusals of the geo library and the route of GDAL's and PROJ's own messages.
//
// Every refusal is one line that names what was refused (a file, a projection definition) and, where
// the library said why, its reason. Nothing here prints by itself except the default message sink.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lrptgeo {

class EGeoError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A coastline or border file that is missing or not in the expected layout.
class ECoastlineError : public EGeoError {
  public:
    using EGeoError::EGeoError;
};

// A projection definition PROJ does not accept, or a transformation it cannot set up.
class EProjectionError : public EGeoError {
  public:
    using EGeoError::EGeoError;
};

// Inputs that do not fit together (tie points of the wrong size, an empty footprint, a map too large).
class EGeoInputError : public EGeoError {
  public:
    using EGeoError::EGeoError;
};

// A GeoTIFF or PNG that could not be written; no partial file is left behind.
class EGeoWriteError : public EGeoError {
  public:
    using EGeoError::EGeoError;
};

// Receives the warnings GDAL and PROJ emit (one line each, prefixed "GDAL: " or "PROJ: "). The default
// sink writes them to standard error; a program routes them into its own log. Thread-safe: the sink
// may be called from any thread, and replacing it while others run is allowed.
// aText on one line (line breaks become spaces, trailing ones go), for messages that come from GDAL or
// PROJ into a refusal or the log.
std::string OneLine(std::string_view aText);

using TGeoMessageSink = std::function<void(std::string_view aLine)>;
void SetGeoMessageSink(TGeoMessageSink aSink);
void EmitGeoMessage(std::string_view aLine);

} // namespace lrptgeo
