// Deinterleaver of the interleaved 80 k mode: undoes the 36-branch convolutional interleaving of
// the code values, one output value per input value.
#pragma once

#include "stages/StepPatternThreadUnit.h"

#include <cstdint>
#include <string>
#include <vector>

// Input: code values (signed bytes) as the unique-word stage writes them, so that input value n
// lies on branch b = n mod 36 (the first code value after each unique word is branch 0). Output:
// the same number of values, in 73,728-value blocks, one block per productive step.
//
// The store is a cyclic buffer of N = 36 x 73,728 = 2,654,208 values, all zero at creation. Value
// n is written at index n mod N, and output n is the store value at (n + 73,728 * b) mod N, read
// before value n is written there. Delays through this stage alone, per branch:
//   branch 0:           36 x 73,728 values (the value comes back when its index is reached again)
//   branch b = 1 .. 35: (36 - b) x 73,728 values.
// The satellites delay branch b by b x 73,728 values, so every code value leaves this stage
// exactly 36 x 73,728 = 2,654,208 values after it entered the interleaver, whatever its branch.
// Until the store has filled (the first 36 blocks) the output mixes the store's initial zeros into
// the branches whose value has not arrived yet; the first block is all zeros. The branches stay in
// step only while the input holds every sent group (72 values) once: the unique-word stage writes
// a group of zero values for each one it skipped while it had lost its lock. A group missing or
// doubled would put the branches out of step for up to one store length; this stage cannot
// detect it.
//
// The store and positions are never reset. The stage writes no log: the log name is stored only,
// and no file of that name is created or deleted.
class TInterlivingThread : public TStepPatternThread {
  public:
    static constexpr uint32_t Branches = 36;
    static constexpr uint32_t Rows = 2048;                      // rows of 36 per store frame
    static constexpr uint32_t FrameSize = Branches * Rows;      // 73,728 values, one block
    static constexpr uint32_t StoreSize = Branches * FrameSize; // 2,654,208 values

    TInterlivingThread(TSHORTstream* aIn, TSHORTstream* aOut, const std::string& aLogFileName);

    // One block of 73,728 values per call; false (nothing read) while fewer wait.
    bool DoStep(TSHORTstream* aIn, TSHORTstream* aOut) override;

  private:
    // The store, kept by branch: branch b's 2,048 values of the block in slot s (the input block
    // number mod 36) at [(36 b + s) x 2,048]. Index n of the cyclic description above is value
    // (n mod 73,728) of slot n / 73,728; the branch is that value's index mod 36.
    std::vector<int8_t> HugeBuff;
    std::vector<int8_t> bufIn;
    std::vector<int8_t> bufOut;
    uint32_t fSlot = 0; // slot of the next input block
};
