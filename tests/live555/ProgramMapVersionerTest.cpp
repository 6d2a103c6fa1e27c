// Program map versions behind the multiplexer: a map whose streams changed
// gets the next version and a valid CRC; repeats and other packets pass as
// they are.
#include "ProgramMapVersioner.hh"

#include <MPEG2TransportStreamMultiplexor.hh>

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr unsigned kPmtPid = 0x30;

// One packet carrying a PSI section (pointer field 0), stuffed with 0xFF.
std::vector<unsigned char> sectionPacket(unsigned pid, std::vector<unsigned char> section) {
    u_int32_t crc = calculateCRC(section.data(), static_cast<unsigned>(section.size()));
    for (int shift = 24; shift >= 0; shift -= 8) section.push_back(static_cast<unsigned char>(crc >> shift));
    std::vector<unsigned char> packet = {0x47, static_cast<unsigned char>(0x40 | (pid >> 8)),
                                         static_cast<unsigned char>(pid), 0x10, 0x00};
    packet.insert(packet.end(), section.begin(), section.end());
    packet.resize(188, 0xFF);
    return packet;
}

std::vector<unsigned char> pat() {
    return sectionPacket(0, {0x00, 0xB0, 13, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xE0, kPmtPid});
}

// A map of program 1 at version 0 with the given (stream type, PID) pairs.
std::vector<unsigned char> pmt(const std::vector<std::pair<unsigned char, unsigned char>>& streams) {
    std::vector<unsigned char> section = {0x02, 0xB0, 0, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE0, 0xE0, 0xF0, 0x00};
    for (auto [type, pid] : streams) section.insert(section.end(), {type, 0xE0, pid, 0xF0, 0x00});
    section[2] = static_cast<unsigned char>(section.size() - 3 + 4);
    return sectionPacket(kPmtPid, section);
}

unsigned versionOf(const std::vector<unsigned char>& packet) { return (packet[5 + 5] >> 1) & 0x1F; }

bool crcHolds(const std::vector<unsigned char>& packet) {
    unsigned length = 3 + (((packet[6] & 0x0F) << 8) | packet[7]);
    return calculateCRC(&packet[5], length) == 0; // CRC-32/MPEG over section and CRC
}

TEST(ProgramMapVersions, AMapWithOtherStreamsGetsTheNextVersionRepeatsKeepIt) {
    const std::vector<std::pair<unsigned char, unsigned char>> video = {{0x1B, 0xE0}};
    const std::vector<std::pair<unsigned char, unsigned char>> both = {{0x1B, 0xE0}, {0x0F, 0xC0}};
    std::vector<std::vector<unsigned char>> packets = {pat(), pmt(video), pmt(video), pmt(both), pmt(both), pmt(video)};
    std::vector<unsigned char> stream;
    for (const auto& packet : packets) stream.insert(stream.end(), packet.begin(), packet.end());
    const std::vector<unsigned char> patBefore = packets[0];

    ProgramMapVersions versions;
    versions.rewrite(stream.data(), static_cast<unsigned>(stream.size()));
    for (size_t i = 0; i < packets.size(); ++i) packets[i].assign(stream.begin() + 188 * i, stream.begin() + 188 * (i + 1));

    EXPECT_EQ(packets[0], patBefore);
    const unsigned expected[] = {0, 0, 1, 1, 2};
    for (size_t i = 1; i < packets.size(); ++i) {
        EXPECT_EQ(versionOf(packets[i]), expected[i - 1]) << "map " << i;
        EXPECT_TRUE(crcHolds(packets[i])) << "map " << i;
        EXPECT_EQ(packets[i][5 + 5] & 0xC1, 0xC1) << "reserved bits and current_next stay";
    }
}

TEST(ProgramMapVersions, WithoutAPatOrWithBrokenPacketsNothingChanges) {
    std::vector<unsigned char> stream = pmt({{0x1B, 0xE0}});
    std::vector<unsigned char> second = pmt({{0x1B, 0xE0}, {0x0F, 0xC0}});
    stream.insert(stream.end(), second.begin(), second.end());
    std::vector<unsigned char> broken = pat();
    broken[7] = 0xFF; // section length beyond the packet
    stream.insert(stream.end(), broken.begin(), broken.end());
    stream.insert(stream.end(), {0x47, 0x00}); // a partial packet at the end
    const std::vector<unsigned char> before = stream;
    ProgramMapVersions versions;
    versions.rewrite(stream.data(), static_cast<unsigned>(stream.size()));
    EXPECT_EQ(stream, before);
}

} // namespace
