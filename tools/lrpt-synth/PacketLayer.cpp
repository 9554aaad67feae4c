#include "PacketLayer.h"

#include <algorithm>

namespace lrptsynth {

std::vector<std::uint8_t> makePacket(int apid, int count, bool secondaryHeader,
                                     const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> p(6 + data.size());
    const unsigned w0 = (secondaryHeader ? 0x0800u : 0u) | (static_cast<unsigned>(apid) & 0x7FFu);
    const unsigned w1 = 0xC000u | (static_cast<unsigned>(count) & 0x3FFFu);
    const unsigned w2 = static_cast<unsigned>(data.size() - 1) & 0xFFFFu;
    p[0] = static_cast<std::uint8_t>(w0 >> 8);
    p[1] = static_cast<std::uint8_t>(w0);
    p[2] = static_cast<std::uint8_t>(w1 >> 8);
    p[3] = static_cast<std::uint8_t>(w1);
    p[4] = static_cast<std::uint8_t>(w2 >> 8);
    p[5] = static_cast<std::uint8_t>(w2);
    std::copy(data.begin(), data.end(), p.begin() + 6);
    return p;
}

std::int64_t PacketZoneStream::add(const std::vector<std::uint8_t>& packet) {
    const std::int64_t at = size();
    fHeaders.push_back(at);
    fHeaderIsFill.push_back((((packet[0] & 7) << 8) | packet[1]) == kFillApid);
    fBytes.insert(fBytes.end(), packet.begin(), packet.end());
    return at;
}

void PacketZoneStream::fillTo(std::int64_t target) {
    std::int64_t len = target - size();
    if (len <= 0) return;
    // A fill packet needs its 6-byte header and at least one data byte; a
    // packet after it in the same zone would never be read, so it always
    // reaches a zone boundary.
    if (len < 7) len += kZoneSize;
    add(makePacket(kFillApid, 0, false, std::vector<std::uint8_t>(static_cast<std::size_t>(len - 6), 0)));
}

void PacketZoneStream::padToBoundary() {
    const std::int64_t rem = size() % kZoneSize;
    if (rem != 0) fillTo(size() - rem + kZoneSize);
}

int PacketZoneStream::pointer(std::int64_t frame) const {
    const std::int64_t lo = frame * kZoneSize;
    auto it = std::lower_bound(fHeaders.begin(), fHeaders.end(), lo);
    if (it == fHeaders.end() || *it >= lo + kZoneSize) return 2047;
    return static_cast<int>(*it - lo);
}

bool PacketZoneStream::fillOnly(std::int64_t frame) const {
    const std::int64_t lo = frame * kZoneSize, hi = lo + kZoneSize;
    // The packet covering the zone's first byte, then every packet starting in it.
    auto it = std::upper_bound(fHeaders.begin(), fHeaders.end(), lo);
    if (it == fHeaders.begin()) return false;
    for (auto k = static_cast<std::size_t>(it - fHeaders.begin()) - 1;
         k < fHeaders.size() && fHeaders[k] < hi; ++k)
        if (!fHeaderIsFill[k]) return false;
    return true;
}

namespace {

struct Header {
    int apid = 0;
    int packetLen = 0; // data bytes, 16-bit wrap as the receiver computes it
};

bool parseHeader(const std::uint8_t* h, Header& out) {
    out.apid = ((h[0] & 0x07) << 8) | h[1];
    out.packetLen = ((h[4] << 8 | h[5]) + 1) & 0xFFFF;
    return out.apid >= 64 && out.apid <= 70;
}

} // namespace

std::vector<std::vector<std::uint8_t>> reassemblePackets(const std::vector<const std::uint8_t*>& frames) {
    std::vector<std::uint8_t> s;
    s.reserve(frames.size() * 892);
    for (const auto* f : frames)
        s.insert(s.end(), f, f + 892);
    std::vector<std::vector<std::uint8_t>> out;
    std::vector<std::uint8_t> cur;
    bool inProgress = false;
    auto accept = [&]() {
        Header h;
        if (cur.size() >= 6 && parseHeader(cur.data(), h) &&
            cur.size() == static_cast<std::size_t>(h.packetLen) + 6)
            out.push_back(cur);
        cur.clear();
        inProgress = false;
    };
    std::size_t pos = 0;
    while (s.size() - pos >= 912) {
        const std::size_t rec = pos;
        pos += 10;
        if (s[rec + 1] != 5) {
            pos += kZoneSize;
            continue;
        }
        const int p = ((s[rec + 8] & 7) << 8) | s[rec + 9];
        if (p > kZoneSize) {
            if (p == 2047 && inProgress) cur.insert(cur.end(), s.begin() + pos, s.begin() + pos + kZoneSize);
            pos += kZoneSize;
            continue;
        }
        int r = kZoneSize - p;
        if (inProgress) {
            cur.insert(cur.end(), s.begin() + pos, s.begin() + pos + p);
            accept();
        }
        pos += p;
        Header h;
        while (s.size() - pos >= 6 && parseHeader(&s[pos], h)) {
            inProgress = true;
            if (h.packetLen >= r - 6) {
                cur.insert(cur.end(), s.begin() + pos, s.begin() + pos + r);
                pos += r;
                r = 0;
                break;
            }
            cur.insert(cur.end(), s.begin() + pos, s.begin() + pos + h.packetLen + 6);
            pos += h.packetLen + 6;
            r -= h.packetLen + 6;
            accept();
        }
        pos += r;
    }
    return out;
}

} // namespace lrptsynth
