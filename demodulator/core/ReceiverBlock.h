// One block of input frames handed to the receiver model.
#pragma once

#include <array>
#include <cstdint>

struct ReceiverFrame {
    int32_t I = 0;
    int32_t Q = 0;
};

// 8192 I/Q frames at the WAV sample rate, as the WAV reader converted them. The model clamps every
// value to -512..511, so any int32 is acceptable. One block is 4 x 8192 = 32768 model steps.
struct ReceiverBlock {
    static constexpr int FrameCount = 8192;
    static constexpr int StepCount = 4 * FrameCount;
    std::array<ReceiverFrame, FrameCount> Frames{};
};
