// The operator's controls as tables: each arrow control and each typed edit box maps to one
// receiver setter. The window builds its controls from these tables; the batch tool sets
// parameters by name through the parameter table.
#pragma once

#include "core/CostasReceiver.h"

#include <cstdint>
#include <string>
#include <vector>

// ---- Parameters by name (batch tool) ----
struct TParamEntry {
    const char* Name; // field name of TReceiverParams
    int64_t Min, Max; // accepted values, the range the controls can produce
    void (*Set)(TCostasReceiver&, int32_t);
};
const std::vector<TParamEntry>& ReceiverParamTable();
// nullptr when no parameter has that name.
const TParamEntry* FindReceiverParam(const std::string& aName);

// ---- Arrow controls ----
struct TArrowControl {
    const char* UpDown; // control name
    const char* Edit;   // edit box that shows the value
    int Min, Max;       // positions
    bool Enabled;       // SampUpDown is shown but cannot be used
    // Position that shows the receiver's current parameter.
    int (*Position)(const TReceiverParams&);
    // A click: sets the parameter from the position (and its frequency word where it has one).
    void (*Apply)(TCostasReceiver&, int aPosition);
    // Text the edit box shows afterwards.
    std::string (*Text)(const TReceiverParams&);
};
const std::vector<TArrowControl>& ArrowControls();
const TArrowControl* FindArrowControl(const std::string& aUpDown);

// ---- Edit boxes that accept typed values ----
struct TTypedEdit {
    const char* Edit;
    const char* UpDown; // the arrow control that follows the value
    // Applies an integer typed into the box; returns the arrow position to show (within range).
    int (*Apply)(TCostasReceiver&, int64_t aValue);
};
const std::vector<TTypedEdit>& TypedEdits();
const TTypedEdit* FindTypedEdit(const std::string& aEdit);

// ---- Check boxes ----
struct TCheckControl {
    const char* Box;
    const char* Caption;
    bool (*Get)(const TReceiverParams&);
    void (*Set)(TCostasReceiver&, bool);
};
const std::vector<TCheckControl>& CheckControls();

// ---- Timebase (TimeUpDown 1..21) ----
constexpr int TimebaseDefaultPosition = 17; // 2 ms per division
int64_t TimebaseNs(int aPosition);          // ns per division, positions clamped to 1..21
struct TTimebaseText {
    int64_t Value;     // in the label's unit (integer division)
    const char* Label; // "Timebase (nS/div)", "Timebase (uS/div)" or "Timebase (mS/div)"
};
TTimebaseText TimebaseText(int aPosition);
// 20 pixels make one division.
inline double PixelNs(int64_t aTimebaseNs) {
    return double(aTimebaseNs) * 0.05;
}

// nsBitEdit: 1e9 / SymRate (0 for a rate of 0).
double NsPerBit(int32_t aSymRate);

// Shortest decimal text of a floating value, as the boxes show it ("13888.8888888889", "5", "23.625").
std::string DecimalText(double aValue);

// ModTypeEdit: "CW", "BPSK" or "QPSK"; empty for other values.
const char* ModTypeText(int32_t aModType);
