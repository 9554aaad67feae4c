// What GDAL reads of a GeoTIFF the programs wrote: for the tests of the map products.
#pragma once

#include <gdal.h>
#include <ogr_srs_api.h>

#include <array>
#include <string>

struct TTiff {
    bool Opened = false;
    int Bands = 0, Width = 0, Height = 0, Gcps = 0;
    std::array<double, 6> Transform{};
    bool HasTransform = false, Geographic = false, NoData = false;
    std::string Authority; // the EPSG code of the map's (or the control points') CRS, when known
};

inline TTiff ReadTiff(const std::string& aPath) {
    GDALAllRegister();
    TTiff t;
    GDALDatasetH d = GDALOpen(aPath.c_str(), GA_ReadOnly);
    if (!d) return t;
    t.Opened = true;
    t.Bands = GDALGetRasterCount(d);
    t.Width = GDALGetRasterXSize(d);
    t.Height = GDALGetRasterYSize(d);
    t.Gcps = GDALGetGCPCount(d);
    t.HasTransform = GDALGetGeoTransform(d, t.Transform.data()) == CE_None;
    int has = 0;
    if (t.Bands > 0) GDALGetRasterNoDataValue(GDALGetRasterBand(d, 1), &has);
    t.NoData = has != 0;
    const char* wkt = t.Gcps > 0 ? GDALGetGCPProjection(d) : GDALGetProjectionRef(d);
    if (OGRSpatialReferenceH srs = OSRNewSpatialReference(wkt)) {
        t.Geographic = OSRIsGeographic(srs) != 0;
        OSRAutoIdentifyEPSG(srs);
        const char* code = OSRGetAuthorityCode(srs, nullptr);
        t.Authority = code ? code : "";
        OSRDestroySpatialReference(srs);
    }
    GDALClose(d);
    return t;
}
