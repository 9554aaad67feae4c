#include "maps/MapProjection.h"

#include "maps/GeoErrors.h"

#include <proj.h>

#include <cmath>
#include <string>

namespace lrptgeo {

namespace {

struct TContextDeleter {
    void operator()(PJ_CONTEXT* aContext) const { proj_context_destroy(aContext); }
};
struct TPjDeleter {
    void operator()(PJ* aPj) const { proj_destroy(aPj); }
};
using TContextPtr = std::unique_ptr<PJ_CONTEXT, TContextDeleter>;
using TPjPtr = std::unique_ptr<PJ, TPjDeleter>;

// PROJ's log goes to our messages; errors are kept for the refusal that follows them.
struct TLogState {
    std::string LastError;
};

void LogToMessages(void* aUser, int aLevel, const char* aMessage) {
    const std::string message = OneLine(aMessage ? aMessage : "");
    if (aLevel == PJ_LOG_ERROR) {
        // Either the reason of the refusal that follows, or a point outside the projection's domain,
        // which Forward and Inverse report by their result.
        static_cast<TLogState*>(aUser)->LastError = message;
    } else if (aLevel < PJ_LOG_DEBUG) {
        EmitGeoMessage("PROJ: " + message);
    }
}

bool IsGeographicType(PJ_TYPE aType) {
    return aType == PJ_TYPE_GEOGRAPHIC_2D_CRS || aType == PJ_TYPE_GEOGRAPHIC_3D_CRS ||
           aType == PJ_TYPE_GEOGRAPHIC_CRS;
}

} // namespace

struct TMapProjection::TState {
    TLogState Log;
    TContextPtr Context;
    TPjPtr Transform; // WGS-84 lon/lat degrees -> map x/y
};

TMapProjection::TMapProjection(std::string_view aDefinition) : fDefinition(aDefinition) {
    Open();
}

TMapProjection::TMapProjection(const TMapProjection& aOther) : fDefinition(aOther.fDefinition) {
    Open();
}

TMapProjection& TMapProjection::operator=(const TMapProjection& aOther) {
    if (this != &aOther) *this = TMapProjection(aOther);
    return *this;
}

TMapProjection::TMapProjection(TMapProjection&&) noexcept = default;
TMapProjection& TMapProjection::operator=(TMapProjection&&) noexcept = default;
TMapProjection::~TMapProjection() = default;

void TMapProjection::Open() {
    auto state = std::make_unique<TState>();
    state->Context.reset(proj_context_create());
    if (!state->Context)
        throw EProjectionError("map projection '" + fDefinition + "' refused: no PROJ context");
    proj_log_func(state->Context.get(), &state->Log, LogToMessages);
    PJ_CONTEXT* ctx = state->Context.get();
    const auto refuse = [&](const std::string& aWhy) {
        std::string why = aWhy;
        if (!state->Log.LastError.empty()) why += ": " + state->Log.LastError;
        throw EProjectionError(OneLine("map projection '" + fDefinition + "' refused: " + why));
    };

    std::string text = fDefinition;
    const bool projString =
        text.find("+proj=") != std::string::npos || text.find("+init=") != std::string::npos;
    if (projString && text.find("+type=crs") == std::string::npos) text += " +type=crs";
    if (text.empty()) refuse("empty definition");
    TPjPtr crs(proj_create(ctx, text.c_str()));
    if (!crs) refuse(proj_context_errno_string(ctx, proj_context_errno(ctx)));
    const PJ_TYPE type = proj_get_type(crs.get());
    const bool isCrs = proj_is_crs(crs.get());
    if (!isCrs) refuse("not a coordinate reference system");
    if (type == PJ_TYPE_GEOCENTRIC_CRS) refuse("a geocentric system is not a map");
    fGeographic = IsGeographicType(type);

    const char* options[] = {"MULTILINE=NO", nullptr};
    const char* wkt = proj_as_wkt(ctx, crs.get(), PJ_WKT1_GDAL, options);
    if (!wkt) wkt = proj_as_wkt(ctx, crs.get(), PJ_WKT2_2019, options);
    if (!wkt) refuse("no WKT for it");
    fWkt = wkt;

    TPjPtr wgs84(proj_create(ctx, "EPSG:4326"));
    if (!wgs84) refuse("no WGS-84 definition in PROJ's database");
    TPjPtr raw(proj_create_crs_to_crs_from_pj(ctx, wgs84.get(), crs.get(), nullptr, nullptr));
    if (!raw) refuse("no transformation from WGS-84");
    TPjPtr normal(proj_normalize_for_visualization(ctx, raw.get()));
    if (!normal) refuse("no transformation from WGS-84");
    state->Transform = std::move(normal);
    state->Log.LastError.clear();
    fState = std::move(state);
}

bool TMapProjection::Forward(double aLonDeg, double aLatDeg, double& aX, double& aY) const {
    if (!std::isfinite(aLonDeg) || !std::isfinite(aLatDeg) || std::fabs(aLatDeg) > 90) return false;
    PJ_COORD c = proj_coord(aLonDeg, aLatDeg, 0, 0);
    c = proj_trans(fState->Transform.get(), PJ_FWD, c);
    if (!std::isfinite(c.xy.x) || !std::isfinite(c.xy.y)) {
        proj_errno_reset(fState->Transform.get());
        return false;
    }
    double x = c.xy.x;
    if (fGeographic) x += 360 * std::round((aLonDeg - x) / 360);
    aX = x;
    aY = c.xy.y;
    return true;
}

bool TMapProjection::Inverse(double aX, double aY, double& aLonDeg, double& aLatDeg) const {
    if (!std::isfinite(aX) || !std::isfinite(aY)) return false;
    PJ_COORD c = proj_coord(aX, aY, 0, 0);
    c = proj_trans(fState->Transform.get(), PJ_INV, c);
    if (!std::isfinite(c.lp.lam) || !std::isfinite(c.lp.phi)) {
        proj_errno_reset(fState->Transform.get());
        return false;
    }
    aLonDeg = c.lp.lam;
    aLatDeg = c.lp.phi;
    return true;
}

} // namespace lrptgeo
