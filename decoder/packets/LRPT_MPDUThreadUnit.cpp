#include "packets/LRPT_MPDUThreadUnit.h"

#include <cstdlib>

namespace {
constexpr int64_t ZoneSize = 882;
constexpr int64_t FrameSize = 892;
constexpr int64_t LookAhead = 20;
} // namespace

TMPDUThread::TMPDUThread(TSHORTstream* aIn, TSHORTStreams* aOuts, const std::string& aLogFileName)
    : TStepPatternThread(aIn, aOuts) {
    SetLogFileName(aLogFileName);
    aOuts->SetCount(4096);
    for (int apid = 64; apid <= 70; ++apid) {
        auto stream = std::make_unique<TSHORTstream>("MPDU_" + std::to_string(apid), true, true, nullptr);
        aOuts->SetStreams(apid, stream.get());
        aOuts->Own(std::move(stream));
    }
    MyMPDU = std::make_unique<TMPDU>(aIn, aOuts, this, aLogFileName);
}

void TMPDUThread::MoveInto(TSHORTstream& aIn, int64_t aCount) {
    // A count of 0 would mean "everything waiting" to MoveTo.
    if (aCount > 0) aIn.MoveTo(*MyMPDU->fMPDU, aCount);
}

void TMPDUThread::Accept(TSHORTStreams& aOuts) {
    TMPDUFRAME& packet = *MyMPDU->fMPDU;
    if (packet.CHECK(aOuts)) {
        ++fPackets[static_cast<size_t>(packet.APID - 64)];
        const int d = static_cast<int>(packet.SeqCOUNT) - static_cast<int>(fPrevCount);
        if (std::abs(d) > 1) MyMPDU->LOG("потеря");
        fPrevCount = packet.SeqCOUNT;
    }
    MyMPDU->fMPDU.reset();
}

bool TMPDUThread::DoStepMultiOut(TSHORTstream* aIn, TSHORTStreams* aOuts) {
    if (aIn->AwaitingReadSize() < FrameSize + LookAhead) return false;
    uint8_t head[10];
    aIn->Read(head, 10);

    if (head[1] != 5) {
        aIn->Seek(ZoneSize, TSeekOrigin::soCurrent);
        return true;
    }

    const int p = (head[8] & 7) << 8 | head[9];
    const bool spare = (head[8] >> 3) != 0;
    LOG("VCDU=" + std::to_string(fVCDUcount) + (spare ? " flag=true hedpos=" : " flag=false hedpos=") +
        std::to_string(p));
    ++fVCDUcount;
    fFramesExamined.store(fVCDUcount);

    if (p > ZoneSize) {
        if (p == 2047 && MyMPDU->fMPDU)
            MoveInto(*aIn, ZoneSize);
        else
            aIn->Seek(ZoneSize, TSeekOrigin::soCurrent);
        return true;
    }

    int64_t r = ZoneSize - p;
    if (MyMPDU->fMPDU) {
        MoveInto(*aIn, p);
        Accept(*aOuts);
    } else {
        aIn->Seek(static_cast<int64_t>(p), TSeekOrigin::soCurrent);
    }

    TMPDUFRAME peek(nullptr);
    while (peek.HEDCHECK(*aIn)) {
        MyMPDU->fMPDU = std::make_unique<TMPDUFRAME>(MyMPDU.get());
        if (static_cast<int64_t>(peek.PacketLEN) >= r - 6) {
            MoveInto(*aIn, r);
            r = 0;
            break;
        }
        MoveInto(*aIn, peek.PacketLEN + 6);
        r -= peek.PacketLEN + 6;
        Accept(*aOuts);
    }
    aIn->Seek(r, TSeekOrigin::soCurrent);
    return true;
}
