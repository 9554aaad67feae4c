#include "PassSummary.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace {

using Json = nlohmann::ordered_json;

// A number, or null for a value that is not finite (JSON has no NaN or infinity).
Json Number(double aValue) {
    return std::isfinite(aValue) ? Json(aValue) : Json(nullptr);
}

Json TimeOrNull(const std::string& aTime) {
    return aTime.empty() ? Json(nullptr) : Json(aTime);
}

Json Point(const std::optional<lrptgeo::TLatLonDeg>& aPoint) {
    if (!aPoint) return nullptr;
    return {{"lat", Number(aPoint->LatDeg)}, {"lon", Number(aPoint->LonDeg)}};
}

Json GeolocationJson(const TGeolocation& g) {
    Json j;
    j["satellite"] = g.Satellite;
    j["norad"] = g.NoradId;
    j["chosen"] = g.ChoiceReason;
    j["tle_epoch"] = g.TleEpoch;
    j["tle_age_days"] = Number(g.TleAgeDays);
    j["tle_warning"] = g.TleWarning.empty() ? Json(nullptr) : Json(g.TleWarning);
    j["date_source"] = g.DateSource;
    j["start_utc"] = lrptgeo::FormatIsoUtc(g.Start, 3);
    j["end_utc"] = lrptgeo::FormatIsoUtc(g.End, 3);
    j["direction"] = g.Northbound ? "northbound" : "southbound";
    // The picture as drawn: its first row, then its last; column 0 lies right of the flight.
    j["corners"] = {{"first_row_column_0", Point(g.Corners[0])},
                    {"first_row_last_column", Point(g.Corners[1])},
                    {"last_row_column_0", Point(g.Corners[2])},
                    {"last_row_last_column", Point(g.Corners[3])}};
    j["centre"] = Point(g.Centre);
    Json& track = j["track"];
    track = Json::array();
    for (const auto& t : g.Track)
        track.push_back({{"utc", lrptgeo::FormatIsoUtc(t.Time, 3)},
                         {"lat", Number(t.LatitudeDeg)},
                         {"lon", Number(t.LongitudeDeg)}});
    const TRegistrationFacts& r = g.Registration;
    Json& reg = j["registration"];
    reg["attempted"] = r.Attempted;
    reg["applied"] = r.Applied;
    reg["confident"] = r.Confident;
    reg["channel"] = r.Attempted ? Json(r.Channel) : Json(nullptr);
    reg["time_offset_s"] = Number(r.TimeOffsetS);
    reg["roll_deg"] = Number(r.RollDeg);
    reg["residual_km"] = r.Attempted ? Number(r.ResidualKm) : Json(nullptr);
    reg["residual_model_km"] = r.Attempted ? Number(r.ResidualStartKm) : Json(nullptr);
    reg["confidence"] = r.Attempted ? Number(r.Confidence) : Json(nullptr);
    reg["edges_used"] = r.EdgesUsed;
    reg["why"] = r.Why;
    j["projection"] = g.Projection;
    j["map_files"] = g.MapFiles;
    return j;
}

} // namespace

namespace {

// "hh:mm:ss.zzz" as ms of the day; -1 for anything else.
int64_t TimeOfDayMs(const std::string& aText) {
    int h = 0, m = 0, sec = 0, ms = 0, used = 0;
    if (std::sscanf(aText.c_str(), "%2d:%2d:%2d.%3d%n", &h, &m, &sec, &ms, &used) != 4 ||
        size_t(used) != aText.size())
        return -1;
    return ((int64_t{h} * 60 + m) * 60 + sec) * 1000 + ms;
}

} // namespace

void SetScanSpan(TPassSummary& aSummary) {
    constexpr int64_t day = 86400000;
    // Signed distance of aMs from aReference on a circle of one day, in (-day / 2, day / 2].
    auto since = [](int64_t aMs, int64_t aReference) {
        int64_t d = ((aMs - aReference) % day + day) % day;
        return d > day / 2 ? d - day : d;
    };
    aSummary.ScanStart.clear();
    aSummary.ScanEnd.clear();
    aSummary.ScanStartUtc.clear();
    aSummary.ScanEndUtc.clear();
    int64_t reference = -1, first = 0, last = 0;
    for (const TPassChannel& c : aSummary.Channels) {
        const int64_t start = TimeOfDayMs(c.Start), end = TimeOfDayMs(c.End);
        if (reference < 0) reference = start >= 0 ? start : end;
        if (start >= 0 && (aSummary.ScanStart.empty() || since(start, reference) < first)) {
            first = since(start, reference);
            aSummary.ScanStart = c.Start;
            aSummary.ScanStartUtc = c.StartUtc;
        }
        if (end >= 0 && (aSummary.ScanEnd.empty() || since(end, reference) > last)) {
            last = since(end, reference);
            aSummary.ScanEnd = c.End;
            aSummary.ScanEndUtc = c.EndUtc;
        }
    }
}

std::string PassJson(const TPassSummary& p) {
    Json j;
    j["input"] = p.Input;
    j["input_description"] = p.InputDescription;
    j["symbol_file"] = p.SymbolFile;
    j["interrupted"] = p.Interrupted;
    j["non_finite_samples"] = p.NonFiniteSamples;
    Json& d = j["detected"];
    d["found"] = p.Found;
    d["modulation"] = p.Oqpsk ? Json(*p.Oqpsk ? "OQPSK" : "QPSK") : Json(nullptr);
    d["mode"] = p.Mode.empty() ? Json(nullptr) : Json(p.Mode);
    d["symbol_rate"] = p.Mode.empty() ? Json(nullptr) : Json(p.Mode == "72k" ? 72000 : 80000);
    d["nrzm"] = p.Nrzm;
    d["channel_order"] = p.IFirst ? Json(*p.IFirst ? "I first" : "Q first") : Json(nullptr);
    d["forced"] = {{"modulation", p.OqpskForced},
                   {"mode", p.ModeForced},
                   {"nrzm", p.NrzmForced},
                   {"swap_iq", p.SwapIqForced}};
    d["description"] = p.Detection;
    d["seconds"] = Number(p.DetectionSeconds);
    d["recording_seconds"] = Number(p.DetectionInputSeconds);
    Json& scans = j["scans"];
    scans["start"] = TimeOrNull(p.ScanStart);
    scans["end"] = TimeOrNull(p.ScanEnd);
    scans["start_utc"] = TimeOrNull(p.ScanStartUtc);
    scans["end_utc"] = TimeOrNull(p.ScanEndUtc);
    scans["time"] = "UTC, time of day";
    scans["date_source"] = p.DateSource.empty() ? Json(nullptr) : Json(p.DateSource);
    scans["channels"] = Json::array();
    for (const TPassChannel& c : p.Channels)
        scans["channels"].push_back({{"channel", c.Apid - 63},
                                     {"apid", c.Apid},
                                     {"scans", c.Scans},
                                     {"lines", c.Lines},
                                     {"start", TimeOrNull(c.Start)},
                                     {"end", TimeOrNull(c.End)},
                                     {"start_utc", TimeOrNull(c.StartUtc)},
                                     {"end_utc", TimeOrNull(c.EndUtc)}});
    j["frames"] = {{"total", p.Frames},
                   {"passed_on", p.FramesPassedOn},
                   {"rs_corrected_symbols", p.RsCorrectedSymbols},
                   {"rs_failed_words", p.RsFailedWords}};
    Json& packets = j["packets"];
    packets = Json::object();
    for (int apid = 64; apid <= 70; ++apid)
        packets[std::to_string(apid)] = p.Packets[size_t(apid - 64)];
    if (p.HasReceiver) {
        Json& r = j["receiver"];
        r["lock_time_s"] = p.LockTimeS < 0 ? Json(nullptr) : Number(p.LockTimeS);
        r["locked_share"] = Number(p.LockedShare);
        r["carrier_offset_hz"] = Number(p.CarrierOffsetHz);
        r["mean_carrier_offset_hz"] = Number(p.MeanOffsetHz);
        r["drift_hz_per_s"] = Number(p.DriftHzPerS);
        r["max_drift_hz_per_s"] = Number(p.MaxDriftHzPerS);
        r["esn0_db"] = Number(p.SnrDb);
    } else {
        j["receiver"] = nullptr;
    }
    j["geolocation"] = p.Geolocation ? GeolocationJson(*p.Geolocation) : Json(nullptr);
    j["recording_seconds"] = Number(p.RecordingSeconds);
    j["elapsed_seconds"] = Number(p.ElapsedSeconds);
    j["writing_pictures_seconds"] = Number(p.PicturesSeconds);
    j["files"] = p.Files;
    // Names are bytes from the command line: what is not UTF-8 becomes U+FFFD, so the document
    // stays valid whatever a file is called.
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

void WritePassJson(const TPassSummary& aSummary, const std::string& aPath) {
    const std::string text = PassJson(aSummary);
    const std::string temporary = aPath + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) throw std::runtime_error("Cannot create file \"" + temporary + "\"");
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !ok) {
        std::remove(temporary.c_str());
        throw std::runtime_error("Cannot write file \"" + aPath + "\"");
    }
    std::error_code error;
    std::filesystem::rename(temporary, aPath, error);
    if (error) {
        std::remove(temporary.c_str()); // no half-made summary left beside the pictures
        throw std::runtime_error("Cannot write file \"" + aPath + "\": " + error.message());
    }
}
