// The pictures of a pass that is still going on: the channel pictures and the composites of a
// running session rewritten now and then, each through a temporary file in the same folder and a
// rename, so that a viewer never sees one half written.
#pragma once

#include "session/StageChain.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// Writes, once: for every channel drawn so far aStem + ".64.png" ... (cropped to its decoded rows),
// and the composites its channels allow (aStem + ".rgb123.png", ".rgb221.png", ".ir.png"). Every
// picture is read under its stage's lock, so the stages may go on drawing. Returns the number of
// files written. Throws std::runtime_error naming a file that cannot be written (a temporary file
// left by the failure is removed).
int WriteLivePictures(TStageChain& aChain, const std::string& aStem);

// Calls WriteLivePictures every aPeriodSeconds on a thread of its own, from Start to Stop.
// Borrows the chain, whose drawing stages must exist from Start until Stop has returned.
class TLivePictures {
  public:
    TLivePictures(TStageChain& aChain, std::string aStem, double aPeriodSeconds);
    ~TLivePictures();
    TLivePictures(const TLivePictures&) = delete;
    TLivePictures& operator=(const TLivePictures&) = delete;

    void Start(); // a second call does nothing
    // Waits for a write in progress, then ends the thread. The first write error, if any, is kept
    // in Error().
    void Stop();
    int Rounds() const;
    std::string Error() const;

  private:
    TStageChain& fChain;
    std::string fStem;
    double fPeriod;
    std::thread fThread;
    mutable std::mutex fLock;
    std::condition_variable fWake;
    bool fStop = false;
    int fRounds = 0;
    std::string fError;
};
