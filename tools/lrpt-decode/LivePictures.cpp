#include "LivePictures.h"

#include "BatchDecoder.h"
#include "PngWriter.h"
#include "session/Products.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace {

void WritePictureAtomically(const std::string& aName, const TBitmap24& aPicture) {
    WriteAtomically(aName, [&](const std::string& aTo) {
        WritePngBgr(aTo, aPicture.Bits(), aPicture.Width(), aPicture.Height(), aPicture.BytesPerLine());
    });
}

} // namespace

int WriteLivePictures(TStageChain& aChain, const std::string& aStem) {
    std::array<TCanalDrawThread*, 6> stages{};
    std::array<bool, 6> present{};
    int written = 0;
    for (size_t i = 0; i < 6; ++i) {
        stages[i] = aChain.Channel(static_cast<int>(i));
        if (!stages[i]) return 0; // no session yet
        // The rows decoded so far, copied under the stage's lock; compressed outside it, so that
        // the stage waits no longer than the copy.
        TBitmap24 cropped;
        {
            std::lock_guard<TCriticalSection> guard(stages[i]->CS());
            const TBitmap24* picture = stages[i]->Picture();
            const int rows = std::min(stages[i]->LineCount(), picture->Height());
            present[i] = stages[i]->FirstScanTime() >= 0 && rows > 0;
            if (!present[i]) continue;
            cropped.SetSize(CompositeWidth, rows);
            for (int y = 0; y < rows; ++y)
                std::copy(picture->ScanLine(y), picture->ScanLine(y) + 3 * CompositeWidth,
                          cropped.ScanLine(y));
        }
        WritePictureAtomically(aStem + "." + std::to_string(64 + i) + ".png", cropped);
        ++written;
    }
    for (const TCompositeKind kind : ChooseComposites(present)) {
        WritePictureAtomically(aStem + "." + CompositeName(kind) + ".png", GenerateProduct(kind, stages));
        ++written;
    }
    return written;
}

TLivePictures::TLivePictures(TStageChain& aChain, std::string aStem, double aPeriodSeconds)
    : fChain(aChain), fStem(std::move(aStem)), fPeriod(aPeriodSeconds) {}

TLivePictures::~TLivePictures() {
    Stop();
}

void TLivePictures::Start() {
    if (fThread.joinable()) return;
    fThread = std::thread([this] {
        std::unique_lock<std::mutex> lock(fLock);
        while (!fStop) {
            if (fWake.wait_for(lock, std::chrono::duration<double>(fPeriod), [&] { return fStop; })) break;
            lock.unlock();
            std::string error;
            try {
                WriteLivePictures(fChain, fStem);
            } catch (const std::exception& e) {
                error = e.what();
            }
            lock.lock();
            ++fRounds;
            if (fError.empty()) fError = error;
        }
    });
}

void TLivePictures::Stop() {
    {
        std::lock_guard<std::mutex> lock(fLock);
        fStop = true;
    }
    fWake.notify_all();
    if (fThread.joinable()) fThread.join();
}

int TLivePictures::Rounds() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fRounds;
}

std::string TLivePictures::Error() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fError;
}
