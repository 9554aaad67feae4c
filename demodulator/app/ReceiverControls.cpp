#include "app/ReceiverControls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using P = TReceiverParams;
using Rx = TCostasReceiver;

std::string Num(int64_t v) {
    return std::to_string(v);
}

int Clamp(int64_t v, int aMin, int aMax) {
    return int(std::clamp<int64_t>(v, aMin, aMax));
}

// Gains and the other plain position = value controls.
#define PLAIN(updown, edit, lo, hi, field, setter)                                                           \
    TArrowControl {                                                                                          \
        updown, edit, lo, hi, true, [](const P& p) { return int(p.field); },                                 \
            [](Rx& r, int v) { r.setter(v); }, [](const P& p) { return Num(p.field); }                       \
    }

} // namespace

const std::vector<TArrowControl>& ArrowControls() {
    static const std::vector<TArrowControl> table = {
        {"NcoUpDown", "NcoEdit", 1, 20000, true, [](const P& p) { return (p.Nco + 10000) / 10; },
         [](Rx& r, int v) { r.SetNco(v * 10 - 10000); }, [](const P& p) { return Num(p.Nco); }},
        {"SymbolUpDown", "SymRateEdit", 1, 20000, true, [](const P& p) { return p.SymRate / 10; },
         [](Rx& r, int v) { r.SetSymRate(v * 10); }, [](const P& p) { return Num(p.SymRate); }},
        PLAIN("KpManUpDown", "KpManEdit", 0, 15, KpMan, SetKpMan),
        PLAIN("KpExpUpDown", "KpExpEdit", 0, 31, KpExp, SetKpExp),
        PLAIN("KiManUpDown", "KiManEdit", 0, 15, KiMan, SetKiMan),
        PLAIN("KiExpUpDown", "KiExpEdit", 0, 31, KiExp, SetKiExp),
        PLAIN("KpManTrUpDown", "KpManTrEdit", 0, 15, KpManTr, SetKpManTr),
        PLAIN("KpExpTrUpDown", "KpExpTrEdit", 0, 31, KpExpTr, SetKpExpTr),
        PLAIN("KiManTrUpDown", "KiManTrEdit", 0, 15, KiManTr, SetKiManTr),
        PLAIN("KiExpTrUpDown", "KiExpTrEdit", 0, 31, KiExpTr, SetKiExpTr),
        PLAIN("SpManUpDown", "SpManEdit", 0, 15, SpMan, SetSpMan),
        PLAIN("SpExpUpDown", "SpExpEdit", 0, 31, SpExp, SetSpExp),
        PLAIN("SiManUpDown", "SiManEdit", 0, 15, SiMan, SetSiMan),
        PLAIN("SiExpUpDown", "SiExpEdit", 0, 31, SiExp, SetSiExp),
        PLAIN("SpManTrUpDown", "SpManTrEdit", 0, 15, SpManTr, SetSpManTr),
        PLAIN("SpExpTrUpDown", "SpExpTrEdit", 0, 31, SpExpTr, SetSpExpTr),
        PLAIN("SiManTrUpDown", "SiManTrEdit", 0, 15, SiManTr, SetSiManTr),
        PLAIN("SiExpTrUpDown", "SiExpTrEdit", 0, 31, SiExpTr, SetSiExpTr),
        {"CarUpperUpDown", "CarUpperEdit", 0, 1000, true, [](const P& p) { return p.CarUpper / 10; },
         [](Rx& r, int v) { r.SetCarUpper(v * 10); }, [](const P& p) { return Num(p.CarUpper); }},
        {"CarLowerUpDown", "CarLowerEdit", 0, 1000, true, [](const P& p) { return -p.CarLower / 10; },
         [](Rx& r, int v) { r.SetCarLower(-v * 10); }, [](const P& p) { return Num(p.CarLower); }},
        {"SymUpperUpDown", "SymUpperEdit", 1, 20000, true, [](const P& p) { return p.SymUpper / 10; },
         [](Rx& r, int v) { r.SetSymUpper(v * 10); }, [](const P& p) { return Num(p.SymUpper); }},
        {"SymLowerUpDown", "SymLowerEdit", 1, 20000, true, [](const P& p) { return -p.SymLower / 10; },
         [](Rx& r, int v) { r.SetSymLower(-v * 10); }, [](const P& p) { return Num(p.SymLower); }},
        PLAIN("SwManUpDown", "SwManEdit", 0, 15, SwMan, SetSwMan),
        PLAIN("SwExpUpDown", "SwExpEdit", 0, 31, SwExp, SetSwExp),
        PLAIN("ProgGainUpDown", "ProgGainEdit", 0, 7, ProgGain, SetProgGain),
        PLAIN("AgcThreshUpDown", "AgcThreshEdit", 0, 255, AgcThresh, SetAgcThresh),
        PLAIN("AgcUpperUpDown", "AgcUpperEdit", 0, 255, AgcUpper, SetAgcUpper),
        PLAIN("AgcLowerUpDown", "AgcLowerEdit", 0, 255, AgcLower, SetAgcLower),
        {"LD_PL_aUpDown", "LD_PL_aEdit", 0, 100, true, [](const P& p) { return p.LD_PL_a / 1000; },
         [](Rx& r, int v) { r.SetLD_PL_a(v * 1000); }, [](const P& p) { return Num(p.LD_PL_a); }},
        {"LD_PL_tUpDown", "LD_PL_tEdit", 0, 100, true, [](const P& p) { return p.LD_PL_t / 1000; },
         [](Rx& r, int v) { r.SetLD_PL_t(v * 1000); }, [](const P& p) { return Num(p.LD_PL_t); }},
        PLAIN("SliceUpDown", "SliceEdit", 0, 100, Slice, SetSlicerLevel),
        {"ModTypeUpDown", "ModTypeEdit", 0, 2, true, [](const P& p) { return int(p.ModType); },
         [](Rx& r, int v) { r.SetModType(v); },
         [](const P& p) { return std::string(ModTypeText(p.ModType)); }},
        {"SampUpDown", "SampEdit", 0, 10000, false, [](const P& p) { return p.Samp / 200; },
         [](Rx& r, int v) { r.SetSamp(v * 200); }, [](const P& p) { return Num(p.Samp); }},
    };
    return table;
}

const TArrowControl* FindArrowControl(const std::string& aUpDown) {
    for (const TArrowControl& c : ArrowControls())
        if (aUpDown == c.UpDown) return &c;
    return nullptr;
}

namespace {
int32_t Int32(int64_t v) {
    return int32_t(
        std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}
} // namespace

const std::vector<TTypedEdit>& TypedEdits() {
    static const std::vector<TTypedEdit> table = {
        {"NcoEdit", "NcoUpDown",
         [](Rx& r, int64_t v) {
             r.SetNco(Int32(v));
             return Clamp((v + 10000) / 10, 1, 20000);
         }},
        {"SymRateEdit", "SymbolUpDown",
         [](Rx& r, int64_t v) {
             r.SetSymRate(Int32(v));
             return Clamp(v / 10, 1, 20000);
         }},
        // The limits are quantised to the arrow's steps and range; the word follows the position.
        {"CarUpperEdit", "CarUpperUpDown",
         [](Rx& r, int64_t v) {
             const int pos = Clamp(v / 10, 0, 1000);
             r.SetCarUpper(pos * 10);
             return pos;
         }},
        {"CarLowerEdit", "CarLowerUpDown",
         [](Rx& r, int64_t v) {
             const int pos = Clamp(-v / 10, 0, 1000);
             r.SetCarLower(-pos * 10);
             return pos;
         }},
        {"SymUpperEdit", "SymUpperUpDown",
         [](Rx& r, int64_t v) {
             const int pos = Clamp(v / 10, 1, 20000);
             r.SetSymUpper(pos * 10);
             return pos;
         }},
        {"SymLowerEdit", "SymLowerUpDown",
         [](Rx& r, int64_t v) {
             const int pos = Clamp(-v / 10, 1, 20000);
             r.SetSymLower(-pos * 10);
             return pos;
         }},
        {"AgcThreshEdit", "AgcThreshUpDown",
         [](Rx& r, int64_t v) {
             r.SetAgcThresh(Int32(v));
             return Clamp(v, 0, 255);
         }},
        {"AgcUpperEdit", "AgcUpperUpDown",
         [](Rx& r, int64_t v) {
             r.SetAgcUpper(Int32(v));
             return Clamp(v, 0, 255);
         }},
        {"AgcLowerEdit", "AgcLowerUpDown",
         [](Rx& r, int64_t v) {
             r.SetAgcLower(Int32(v));
             return Clamp(v, 0, 255);
         }},
        // No frequency word is recomputed: Run does that.
        {"SampEdit", "SampUpDown",
         [](Rx& r, int64_t v) {
             r.SetSamp(Int32(v));
             return Clamp(v / 200, 0, 10000);
         }},
    };
    return table;
}

const TTypedEdit* FindTypedEdit(const std::string& aEdit) {
    for (const TTypedEdit& e : TypedEdits())
        if (aEdit == e.Edit) return &e;
    return nullptr;
}

const std::vector<TCheckControl>& CheckControls() {
    static const std::vector<TCheckControl> table = {
        {"CarLoopBox", "Open Loop", [](const P& p) { return p.CarOpen; },
         [](Rx& r, bool v) { r.SetCarOpen(v); }},
        {"CarZeroBox", "Zero Loop", [](const P& p) { return p.CarZero; },
         [](Rx& r, bool v) { r.SetCarZero(v); }},
        {"SymLoopBox", "Open Loop", [](const P& p) { return p.SymOpen; },
         [](Rx& r, bool v) { r.SetSymOpen(v); }},
        {"SymZeroBox", "Zero Loop", [](const P& p) { return p.SymZero; },
         [](Rx& r, bool v) { r.SetSymZero(v); }},
        {"AgcLoopBox", "Zero Loop", [](const P& p) { return p.AgcZero; },
         [](Rx& r, bool v) { r.SetAgcZero(v); }},
        {"SwCheckBox", "Sweep", [](const P& p) { return p.Sweep; }, [](Rx& r, bool v) { r.SetSweep(v); }},
        {"IQCheckBox", "I/Q Swap", [](const P& p) { return p.IqSwap; },
         [](Rx& r, bool v) { r.SetIqSwap(v); }},
        {"OqpskBox", "OQPSK", [](const P& p) { return p.Oqpsk; }, [](Rx& r, bool v) { r.SetOqpsk(v); }},
    };
    return table;
}

#define PARAM(name, lo, hi, setter)                                                                          \
    TParamEntry {                                                                                            \
#name, lo, hi, [](Rx & r, int32_t v) { r.setter(v); }                                                \
    }

const std::vector<TParamEntry>& ReceiverParamTable() {
    static const std::vector<TParamEntry> table = {
        PARAM(Samp, 1, 2000000, SetSamp),
        PARAM(Nco, -9990, 190000, SetNco),
        PARAM(SymRate, 10, 200000, SetSymRate),
        PARAM(KpMan, 0, 15, SetKpMan),
        PARAM(KpExp, 0, 31, SetKpExp),
        PARAM(KiMan, 0, 15, SetKiMan),
        PARAM(KiExp, 0, 31, SetKiExp),
        PARAM(KpManTr, 0, 15, SetKpManTr),
        PARAM(KpExpTr, 0, 31, SetKpExpTr),
        PARAM(KiManTr, 0, 15, SetKiManTr),
        PARAM(KiExpTr, 0, 31, SetKiExpTr),
        PARAM(SpMan, 0, 15, SetSpMan),
        PARAM(SpExp, 0, 31, SetSpExp),
        PARAM(SiMan, 0, 15, SetSiMan),
        PARAM(SiExp, 0, 31, SetSiExp),
        PARAM(SpManTr, 0, 15, SetSpManTr),
        PARAM(SpExpTr, 0, 31, SetSpExpTr),
        PARAM(SiManTr, 0, 15, SetSiManTr),
        PARAM(SiExpTr, 0, 31, SetSiExpTr),
        PARAM(CarUpper, 0, 10000, SetCarUpper),
        PARAM(CarLower, -10000, 0, SetCarLower),
        PARAM(SymUpper, 10, 200000, SetSymUpper),
        PARAM(SymLower, -200000, -10, SetSymLower),
        PARAM(SwMan, 0, 15, SetSwMan),
        PARAM(SwExp, 0, 31, SetSwExp),
        PARAM(AgcThresh, 0, 255, SetAgcThresh),
        PARAM(ProgGain, 0, 7, SetProgGain),
        PARAM(AgcUpper, 0, 255, SetAgcUpper),
        PARAM(AgcLower, 0, 255, SetAgcLower),
        PARAM(LD_PL_a, 0, 100000, SetLD_PL_a),
        PARAM(LD_PL_t, 0, 100000, SetLD_PL_t),
        PARAM(Slice, 0, 100, SetSlicerLevel),
        PARAM(ModType, 0, 2, SetModType),
        TParamEntry{"Sweep", 0, 1, [](Rx& r, int32_t v) { r.SetSweep(v != 0); }},
        TParamEntry{"CarOpen", 0, 1, [](Rx& r, int32_t v) { r.SetCarOpen(v != 0); }},
        TParamEntry{"CarZero", 0, 1, [](Rx& r, int32_t v) { r.SetCarZero(v != 0); }},
        TParamEntry{"SymOpen", 0, 1, [](Rx& r, int32_t v) { r.SetSymOpen(v != 0); }},
        TParamEntry{"SymZero", 0, 1, [](Rx& r, int32_t v) { r.SetSymZero(v != 0); }},
        TParamEntry{"AgcZero", 0, 1, [](Rx& r, int32_t v) { r.SetAgcZero(v != 0); }},
        TParamEntry{"IqSwap", 0, 1, [](Rx& r, int32_t v) { r.SetIqSwap(v != 0); }},
        TParamEntry{"Oqpsk", 0, 1, [](Rx& r, int32_t v) { r.SetOqpsk(v != 0); }},
    };
    return table;
}

const TParamEntry* FindReceiverParam(const std::string& aName) {
    for (const TParamEntry& e : ReceiverParamTable())
        if (aName == e.Name) return &e;
    return nullptr;
}

int64_t TimebaseNs(int aPosition) {
    static const int64_t table[21] = {10,     20,      50,      100,     200,      500,      1000,
                                      2000,   5000,    10000,   20000,   50000,    100000,   200000,
                                      500000, 1000000, 2000000, 5000000, 10000000, 20000000, 50000000};
    return table[std::clamp(aPosition, 1, 21) - 1];
}

TTimebaseText TimebaseText(int aPosition) {
    const int64_t ns = TimebaseNs(aPosition);
    if (ns < 1000) return {ns, "Timebase (nS/div)"};
    if (ns > 999999) return {ns / 1000000, "Timebase (mS/div)"};
    return {ns / 1000, "Timebase (uS/div)"};
}

double NsPerBit(int32_t aSymRate) {
    return aSymRate == 0 ? 0.0 : 1e9 / double(aSymRate);
}

std::string DecimalText(double aValue) {
    char text[64];
    // 15 significant digits: the shortest text that still shows 1e9 / SymRate in full.
    std::snprintf(text, sizeof text, "%.15g", aValue);
    return text;
}

const char* ModTypeText(int32_t aModType) {
    switch (aModType) {
    case mt_CW:
        return "CW";
    case mt_BPSK:
        return "BPSK";
    case mt_QPSK:
        return "QPSK";
    default:
        return "";
    }
}
