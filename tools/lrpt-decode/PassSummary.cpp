#include "PassSummary.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>

std::string JsonString(const std::string& aText) {
    std::string s = "\"";
    const size_t n = aText.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = static_cast<unsigned char>(aText[i]);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += char(c);
        } else if (c == '\n') {
            s += "\\n";
        } else if (c == '\r') {
            s += "\\r";
        } else if (c == '\t') {
            s += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            s += hex;
        } else if (c < 0x80) {
            s += char(c);
        } else {
            // One UTF-8 sequence: its length from the lead byte, every follower 10xxxxxx, no
            // overlong form, no surrogate, nothing beyond U+10FFFF.
            const size_t len = c >= 0xC2 && c <= 0xDF   ? 2
                               : c >= 0xE0 && c <= 0xEF ? 3
                               : c >= 0xF0 && c <= 0xF4 ? 4
                                                        : 0;
            bool ok = len > 0 && i + len <= n;
            uint32_t code = len == 2 ? c & 0x1Fu : len == 3 ? c & 0x0Fu : c & 0x07u;
            for (size_t k = 1; ok && k < len; ++k) {
                const unsigned char f = static_cast<unsigned char>(aText[i + k]);
                ok = (f & 0xC0) == 0x80;
                code = code << 6 | (f & 0x3Fu);
            }
            ok = ok && !(len == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) &&
                 !(len == 4 && (code < 0x10000 || code > 0x10FFFF));
            if (ok) {
                s.append(aText, i, len);
                i += len;
            } else {
                s += "\\ufffd";
                ++i;
            }
            continue;
        }
        ++i;
    }
    return s + "\"";
}

std::string JsonNumber(double aValue) {
    if (!std::isfinite(aValue)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", aValue);
    return text;
}

namespace {

std::string Bool(bool aValue) {
    return aValue ? "true" : "false";
}

std::string TimeOrNull(const std::string& aTime) {
    return aTime.empty() ? "null" : JsonString(aTime);
}

} // namespace

std::string PassJson(const TPassSummary& p) {
    std::ostringstream j;
    j << "{\n";
    j << "  \"input\": " << JsonString(p.Input) << ",\n";
    j << "  \"input_description\": " << JsonString(p.InputDescription) << ",\n";
    j << "  \"symbol_file\": " << Bool(p.SymbolFile) << ",\n";
    j << "  \"detected\": {\n";
    j << "    \"found\": " << Bool(p.Found) << ",\n";
    j << "    \"modulation\": " << (p.Oqpsk ? JsonString(*p.Oqpsk ? "OQPSK" : "QPSK") : "null") << ",\n";
    j << "    \"mode\": " << (p.Mode.empty() ? "null" : JsonString(p.Mode)) << ",\n";
    j << "    \"symbol_rate\": " << (p.Mode.empty() ? "null" : p.Mode == "72k" ? "72000" : "80000") << ",\n";
    j << "    \"nrzm\": " << Bool(p.Nrzm) << ",\n";
    j << "    \"channel_order\": " << (p.IFirst ? JsonString(*p.IFirst ? "I first" : "Q first") : "null")
      << ",\n";
    j << "    \"forced\": {\"modulation\": " << Bool(p.OqpskForced) << ", \"mode\": " << Bool(p.ModeForced)
      << ", \"nrzm\": " << Bool(p.NrzmForced) << ", \"swap_iq\": " << Bool(p.SwapIqForced) << "},\n";
    j << "    \"description\": " << JsonString(p.Detection) << ",\n";
    j << "    \"seconds\": " << JsonNumber(p.DetectionSeconds) << ",\n";
    j << "    \"recording_seconds\": " << JsonNumber(p.DetectionInputSeconds) << "\n";
    j << "  },\n";
    j << "  \"scans\": {\n";
    j << "    \"start\": " << TimeOrNull(p.ScanStart) << ",\n";
    j << "    \"end\": " << TimeOrNull(p.ScanEnd) << ",\n";
    j << "    \"time\": \"on-board (UTC+3), time of day\",\n";
    j << "    \"channels\": [";
    for (size_t i = 0; i < p.Channels.size(); ++i) {
        const TPassChannel& c = p.Channels[i];
        j << (i ? ",\n" : "\n") << "      {\"channel\": " << c.Apid - 63 << ", \"apid\": " << c.Apid
          << ", \"scans\": " << c.Scans << ", \"lines\": " << c.Lines
          << ", \"start\": " << TimeOrNull(c.Start) << ", \"end\": " << TimeOrNull(c.End) << "}";
    }
    j << (p.Channels.empty() ? "]\n" : "\n    ]\n");
    j << "  },\n";
    j << "  \"frames\": {\"total\": " << p.Frames << ", \"passed_on\": " << p.FramesPassedOn
      << ", \"rs_corrected_symbols\": " << p.RsCorrectedSymbols
      << ", \"rs_failed_words\": " << p.RsFailedWords << "},\n";
    j << "  \"packets\": {";
    for (int apid = 64; apid <= 70; ++apid)
        j << (apid > 64 ? ", " : "") << "\"" << apid << "\": " << p.Packets[size_t(apid - 64)];
    j << "},\n";
    if (p.HasReceiver) {
        j << "  \"receiver\": {\n";
        j << "    \"lock_time_s\": " << (p.LockTimeS < 0 ? "null" : JsonNumber(p.LockTimeS)) << ",\n";
        j << "    \"locked_share\": " << JsonNumber(p.LockedShare) << ",\n";
        j << "    \"carrier_offset_hz\": " << JsonNumber(p.CarrierOffsetHz) << ",\n";
        j << "    \"mean_carrier_offset_hz\": " << JsonNumber(p.MeanOffsetHz) << ",\n";
        j << "    \"drift_hz_per_s\": " << JsonNumber(p.DriftHzPerS) << ",\n";
        j << "    \"max_drift_hz_per_s\": " << JsonNumber(p.MaxDriftHzPerS) << ",\n";
        j << "    \"esn0_db\": " << JsonNumber(p.SnrDb) << "\n";
        j << "  },\n";
    } else {
        j << "  \"receiver\": null,\n";
    }
    j << "  \"recording_seconds\": " << JsonNumber(p.RecordingSeconds) << ",\n";
    j << "  \"elapsed_seconds\": " << JsonNumber(p.ElapsedSeconds) << ",\n";
    j << "  \"writing_pictures_seconds\": " << JsonNumber(p.PicturesSeconds) << ",\n";
    j << "  \"files\": [";
    for (size_t i = 0; i < p.Files.size(); ++i)
        j << (i ? ",\n    " : "\n    ") << JsonString(p.Files[i]);
    j << (p.Files.empty() ? "]\n" : "\n  ]\n");
    j << "}\n";
    return j.str();
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
    if (error) throw std::runtime_error("Cannot write file \"" + aPath + "\": " + error.message());
}
