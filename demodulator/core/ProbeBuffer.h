// Capture of one internal signal of the receiver for the spectrum analyser.
#pragma once

#include <array>
#include <cstdint>

// The signals that can be captured. The model scales them when capturing: Iin/Qin / 4,
// Iup/Qup / 16, Imix/Qmix / 256 (divisions truncate toward zero), Iout/Qout unscaled.
enum TProbe : int32_t { pr_Iin, pr_Qin, pr_Iup, pr_Qup, pr_Imix, pr_Qmix, pr_Iout, pr_Qout };

// 1024 values; once full nothing more is captured until the reader calls Restart. The count
// cannot be set to anything but 0, so a capture never writes outside the buffer.
class ProbeBuffer {
  public:
    static constexpr int Size = 1024;

    int ProbeCount() const { return fCount; }
    bool Full() const { return fCount >= Size; }
    int32_t operator[](int i) const { return fValues[i]; }
    const std::array<int32_t, Size>& Values() const { return fValues; }

    // Reader side: the values have been taken, capture the next 1024.
    void Restart() { fCount = 0; }
    // Model side: appends while there is room.
    void Append(int32_t aValue) {
        if (fCount < Size) fValues[fCount++] = aValue;
    }

  private:
    std::array<int32_t, Size> fValues{};
    int fCount = 0;
};
