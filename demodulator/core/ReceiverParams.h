// Operator parameters of the receiver model, with their defaults.
#pragma once

#include <cstdint>

// Modulation types of ModType.
enum TModType : int32_t { mt_CW = 0, mt_BPSK = 1, mt_QPSK = 2 };

// Everything the operator sets. Frequencies are in Hz, gains are a mantissa (0..15, an implied
// leading one makes it 16..31) and an exponent (a left shift, 0..31). The limits are stored in Hz
// as the controls give them: the upper ones positive, the lower ones negative. Values are taken
// as given; the controls keep them within their ranges.
struct TReceiverParams {
    int32_t Samp = 784312; // internal sample rate, 4 x the WAV rate
    int32_t Nco = 0;       // carrier centre frequency
    int32_t SymRate = 72000;

    // Carrier loop: acquisition (lead Kp, lag Ki) and tracking gains.
    int32_t KpMan = 7, KpExp = 18;
    int32_t KiMan = 7, KiExp = 7;
    int32_t KpManTr = 7, KpExpTr = 17;
    int32_t KiManTr = 2, KiExpTr = 2;
    // Symbol loop: acquisition (lead Sp, lag Si) and tracking gains.
    int32_t SpMan = 7, SpExp = 17;
    int32_t SiMan = 4, SiExp = 6;
    int32_t SpManTr = 7, SpExpTr = 14;
    int32_t SiManTr = 4, SiExpTr = 4;

    int32_t CarUpper = 10000, CarLower = -10000;
    int32_t SymUpper = 100, SymLower = -100;

    int32_t SwMan = 7, SwExp = 11;
    bool Sweep = true;

    int32_t AgcThresh = 96;
    int32_t ProgGain = 5;
    int32_t AgcUpper = 255, AgcLower = 0;

    int32_t LD_PL_a = 12000, LD_PL_t = 6000; // lock detector preloads
    int32_t Slice = 25;
    int32_t ModType = mt_QPSK;

    bool CarOpen = false, CarZero = false;
    bool SymOpen = false, SymZero = false;
    bool AgcZero = false;
    bool IqSwap = false; // applied by the WAV reader, not by the model
    // Offset QPSK (the Q branch sent half a symbol after I): a symbol is the I value of one
    // on-time strobe and the Q value of the mid-symbol strobe after it. Off: plain QPSK pairs.
    bool Oqpsk = false;
};
