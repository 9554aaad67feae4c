// Source packets and their multiplexing into the 882-byte packet zones of
// the transfer frames, and a reassembler that follows the receiving packet
// rules (used for the ground truth of what reaches each APID stream).
#pragma once

#include <cstdint>
#include <vector>

namespace lrptsynth {

inline constexpr int kZoneSize = 882;
inline constexpr int kFillApid = 2047;

// A CCSDS source packet: version 0, type 0, the secondary-header flag, APID,
// sequence flags 11 (unsegmented), 14-bit count, length field = data - 1.
std::vector<std::uint8_t> makePacket(int apid, int count, bool secondaryHeader,
                                     const std::vector<std::uint8_t>& data);

// A continuous packet zone stream, cut into frames every 882 bytes.
class PacketZoneStream {
  public:
    // Appends a packet; returns the offset of its first byte in the stream.
    std::int64_t add(const std::vector<std::uint8_t>& packet);
    // Appends one fill packet (APID 2047) that ends exactly at the zone
    // boundary `target` (a multiple of 882 beyond the current end). When less
    // than a minimal fill packet would fit, it runs on to the next boundary.
    void fillTo(std::int64_t target);
    void padToBoundary();
    std::int64_t size() const { return static_cast<std::int64_t>(fBytes.size()); }
    std::int64_t frames() const { return size() / kZoneSize; }
    // First-header pointer of frame j: offset of the first header beginning in
    // its zone, 2047 when none does.
    int pointer(std::int64_t frame) const;
    const std::uint8_t* zone(std::int64_t frame) const { return fBytes.data() + frame * kZoneSize; }
    // True when every byte of frame j's zone belongs to fill packets.
    bool fillOnly(std::int64_t frame) const;

  private:
    std::vector<std::uint8_t> fBytes;
    std::vector<std::int64_t> fHeaders; // increasing
    std::vector<bool> fHeaderIsFill;
};

// Follows the receiving packet rules on a sequence of 892-byte transfer
// frames of virtual channel 5 (the ones that arrive): first-header pointer
// walk, packets spanning frames, header peeks that read on into the next
// frame, acceptance of APIDs 64..70 with a matching length, and the wait for
// 20 bytes beyond a frame (so the last frame is not processed).
std::vector<std::vector<std::uint8_t>> reassemblePackets(const std::vector<const std::uint8_t*>& frames);

} // namespace lrptsynth
