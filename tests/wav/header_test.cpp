#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "support.hpp"
#include "wav/wav.hpp"

namespace {

std::string Hex(const unsigned char* bytes, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

std::string HeaderHex(uint32_t rate, int64_t frames, uint32_t size, int interleave)
{
    unsigned char h[kHeaderBytes];
    BuildHeader(h, rate, frames, size, interleave);
    return Hex(h, kHeaderBytes);
}

TEST(Header, WritesWorkedExampleOfSixtySecondsMono)
{
    EXPECT_EQ(HeaderHex(44100, 2646016, 2, 0),
              "52 49 46 46 24 C0 50 00 57 41 56 45 66 6D 74 20 10 00 00 00 01 00 01 00 "
              "44 AC 00 00 88 58 01 00 02 00 10 00 64 61 74 61 00 C0 50 00");
}

TEST(Header, ZeroFramesStatesDataSizeZeroAndChunkSize36)
{
    unsigned char h[kHeaderBytes];
    BuildHeader(h, 48000, 0, 2, 0);
    const std::string s(reinterpret_cast<char*>(h), kHeaderBytes);
    EXPECT_EQ(Le32(s, 4), 36u);
    EXPECT_EQ(Le32(s, 40), 0u);
}

TEST(Header, OpenTakeStartsAsRiffWithJunkStatingNoAudio)
{
    unsigned char h[kRf64HeaderBytes];
    BuildOpenHeader(h, 48000, 3, 1);
    const std::string s(reinterpret_cast<char*>(h), kRf64HeaderBytes);
    // The JUNK body holds what a ds64 chunk would: file size - 8, no data.
    const std::string junk = std::string("JUNK\x1C\0\0\0\x48", 9) + std::string(27, '\0');
    EXPECT_EQ(s.substr(0, 48), std::string("RIFF\x48\0\0\0WAVE", 12) + junk);
    EXPECT_EQ(s.substr(48), ExpectedHeader(48000, 2, 3, 0).substr(12));
}

struct FieldCase {
    uint32_t rate;
    uint32_t size;
    int interleave;
    uint16_t channels, align, bits;
    uint32_t byte_rate;
};

TEST(Header, FieldsFollowSampleSizeAndInterleaveFlag)
{
    const FieldCase cases[] = {
        {96000, 3, 1, 2, 6, 24, 576000}, {44100, 2, 0, 1, 2, 16, 88200},
        {88200, 2, 0, 1, 2, 16, 176400}, {48000, 3, 0, 1, 3, 24, 144000},
        {44100, 2, 1, 2, 4, 16, 176400},
    };
    for (const FieldCase& c : cases) {
        unsigned char h[kHeaderBytes];
        BuildHeader(h, c.rate, 4096, c.size, c.interleave);
        const std::string s(reinterpret_cast<char*>(h), kHeaderBytes);
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(Le16(s, 20), 1);
        EXPECT_EQ(Le16(s, 22), c.channels);
        EXPECT_EQ(Le32(s, 24), c.rate);
        EXPECT_EQ(Le32(s, 28), c.byte_rate);
        EXPECT_EQ(Le16(s, 32), c.align);
        EXPECT_EQ(Le16(s, 34), c.bits);
        EXPECT_EQ(Le32(s, 40), 4096u * c.align);
        EXPECT_EQ(s.substr(0, 4), "RIFF");
        EXPECT_EQ(s.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(s.substr(36, 4), "data");
    }
}

TEST(Header, ByteRateAt96000StereoIs00CA0800)
{
    EXPECT_EQ(HeaderHex(96000, 0, 3, 1).substr(28 * 3, 11), "00 CA 08 00");
}

TEST(Header, RateOf88200IsWrittenAs88580100)
{
    EXPECT_EQ(HeaderHex(88200, 0, 2, 0).substr(24 * 3, 11), "88 58 01 00");
}

TEST(Header, SizesAbove2To31AreTrueUnsigned32Bit)
{
    // 3,728 s of 24-bit stereo at 96 kHz passes 2^31 bytes of data.
    const int64_t frames = 715000000; // 4,290,000,000 bytes at 6 bytes a frame
    unsigned char h[kHeaderBytes];
    BuildHeader(h, 96000, frames, 3, 1);
    const std::string s(reinterpret_cast<char*>(h), kHeaderBytes);
    EXPECT_EQ(Le32(s, 40), 4290000000u);
    EXPECT_EQ(Le32(s, 4), 4290000036u);
}

TEST(Header, WritesRf64HeaderOfWorkedExample)
{
    // 48,800 s of 16-bit mono: 2,152,083,456 frames, 4,304,166,912 bytes.
    unsigned char h[kRf64HeaderBytes];
    BuildRf64Header(h, 44100, 2152083456, 2, 0);
    EXPECT_EQ(Hex(h, kRf64HeaderBytes),
              "52 46 36 34 FF FF FF FF 57 41 56 45 64 73 36 34 1C 00 00 00 48 60 8C 00 "
              "01 00 00 00 00 60 8C 00 01 00 00 00 00 30 46 80 00 00 00 00 00 00 00 00 "
              "66 6D 74 20 10 00 00 00 01 00 01 00 44 AC 00 00 88 58 01 00 02 00 10 00 "
              "64 61 74 61 FF FF FF FF");
}

TEST(Header, KindChangesJustPastTheLargestRiffTake)
{
    const struct {
        int64_t frames;
        uint32_t bytes_per_frame;
        int header_bytes;
    } cases[] = {
        {0, 2, 44},          {2147483629, 2, 44}, // 4,294,967,258 bytes + 36 fits
        {2147483630, 2, 80}, {715827876, 6, 44},  {715827877, 6, 80}, {int64_t{1} << 40, 4, 80},
        {1431655753, 3, 44}, {1431655754, 3, 80}, // 4,294,967,259 bytes + 36 is 2^32 - 1 exactly
    };
    for (const auto& c : cases)
        EXPECT_EQ(TakeHeaderBytes(c.frames, c.bytes_per_frame), c.header_bytes)
            << c.frames << " " << c.bytes_per_frame;
}

TEST(Decon, SplitsLeastSignificantByteFirst)
{
    unsigned char b[4];
    Decon4(0x80000001u, b);
    EXPECT_EQ(Hex(b, 4), "01 00 00 80");
    Decon4(4294967295u, b);
    EXPECT_EQ(Hex(b, 4), "FF FF FF FF");
    Decon2(65535, b);
    EXPECT_EQ(Hex(b, 2), "FF FF");
    Decon2(0x1234, b);
    EXPECT_EQ(Hex(b, 2), "34 12");
    unsigned char b8[8];
    Decon8(0x0102030405060708u, b8);
    EXPECT_EQ(Hex(b8, 8), "08 07 06 05 04 03 02 01");
}

class HeaderFile : public ::testing::Test {
  protected:
    void SetUp() override { dir = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir); }
    // A file that holds the header of a take of `frames` frames and nothing
    // else, as a take starts it.
    void WriteHeaderFile(const std::string& path, uint32_t rate_hz, int64_t frames,
                         uint32_t sample_bytes, int interleave)
    {
        unsigned char h[kRf64HeaderBytes];
        const int header_bytes = BuildTakeHeader(h, rate_hz, frames, sample_bytes, interleave);
        WriteFile(path, std::string(reinterpret_cast<char*>(h), header_bytes));
    }
    std::string dir;
};

TEST_F(HeaderFile, RewriteSizesChangesOnlyTheTwoSizeFields)
{
    const std::string path = dir + "/short.wav";
    WriteHeaderFile(path, 48000, 4096 * 10, 3, 1);
    const std::string payload(4096 * 6 * 2, '\x5A');
    {
        FILE* f = std::fopen(path.c_str(), "ab");
        std::fwrite(payload.data(), 1, payload.size(), f);
        std::fflush(f);
        // Appending descriptors are what the take holds when it rewrites.
        ASSERT_EQ(RewriteSizes(fileno(f), 4096 * 2, 6), 0);
        std::fputs("Z", f); // still appends afterwards
        std::fclose(f);
    }
    const std::string bytes = ReadFile(path);
    std::string expected = ExpectedHeader(48000, 2, 3, 4096 * 2) + payload + "Z";
    EXPECT_TRUE(SameBytes(bytes, expected));
}

TEST(Header, LargestWholePeriodRiffTakeKeepsTheFortyFourByteHeader)
{
    const int64_t most = int64_t{524287} * 4096; // 4,294,959,104 bytes of 16-bit mono
    unsigned char h[kRf64HeaderBytes];
    ASSERT_EQ(BuildTakeHeader(h, 44100, most, 2, 0), kHeaderBytes);
    EXPECT_TRUE(SameBytes(std::string(reinterpret_cast<char*>(h), kHeaderBytes),
                          ExpectedHeader(44100, 1, 2, static_cast<uint32_t>(most))));
    ASSERT_EQ(BuildTakeHeader(h, 44100, most + 4096, 2, 0), kRf64HeaderBytes);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h), 4), "RF64");
}

uint64_t Le64(const std::string& bytes, size_t at)
{
    return Le32(bytes, at) | uint64_t{Le32(bytes, at + 4)} << 32;
}

TEST_F(HeaderFile, RewriteOfAnRf64TakeGivesRiffWithJunkWhenTheDataFits)
{
    const struct {
        int64_t frames;
        bool riff;
    } cases[] = {
        {0, true},
        {4096 * 3, true},
        {2147483611, true},  // 4,294,967,222 bytes: the file is 4,294,967,302 = 2^32 + 6
        {2147483612, false}, // 2 bytes more and file size - 8 passes 32 bits
        {2152083456 - 4096, false},
    };
    const std::string path = dir + "/long.wav";
    // A take of open length starts as RIFF with JUNK and becomes RF64 in place.
    unsigned char open_header[kRf64HeaderBytes];
    BuildOpenHeader(open_header, 44100, 2, 0);
    for (const bool open : {false, true})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.frames);
            WriteHeaderFile(path, 44100, 2152083456, 2, 0);
            if (open)
                WriteFile(path,
                          std::string(reinterpret_cast<char*>(open_header), kRf64HeaderBytes));
            const std::string payload(4096 * 2, '\x5A');
            FILE* f = std::fopen(path.c_str(), "ab");
            std::fwrite(payload.data(), 1, payload.size(), f);
            std::fflush(f);
            ASSERT_EQ(RewriteSizes(fileno(f), c.frames, 2, kRf64HeaderBytes), 0);
            std::fclose(f);

            const std::string bytes = ReadFile(path);
            const uint64_t data = uint64_t(c.frames) * 2;
            unsigned char fresh[kRf64HeaderBytes];
            BuildRf64Header(fresh, 44100, 2152083456, 2, 0);
            const std::string before(reinterpret_cast<char*>(fresh), kRf64HeaderBytes);
            ASSERT_EQ(bytes.size(), 80u + payload.size());
            EXPECT_EQ(bytes.substr(0, 4), c.riff ? "RIFF" : "RF64");
            EXPECT_EQ(Le32(bytes, 4), c.riff ? data + 72 : 0xFFFFFFFFu);
            EXPECT_EQ(bytes.substr(8, 8), c.riff ? "WAVEJUNK" : "WAVEds64");
            EXPECT_EQ(Le32(bytes, 16), 28u);
            EXPECT_EQ(Le64(bytes, 20), data + 72);
            EXPECT_EQ(Le64(bytes, 28), data);
            EXPECT_EQ(Le64(bytes, 36), uint64_t(c.frames));
            EXPECT_EQ(Le32(bytes, 44), 0u);
            EXPECT_EQ(bytes.substr(48, 28), before.substr(48, 28)); // fmt and "data"
            EXPECT_EQ(Le32(bytes, 76), c.riff ? data : 0xFFFFFFFFu);
            EXPECT_TRUE(SameBytes(bytes.substr(80), payload));
        }
}

TEST_F(HeaderFile, RewriteSizesReportsABadDescriptor)
{
    EXPECT_EQ(RewriteSizes(-1, 0, 2), EBADF);
    EXPECT_EQ(RewriteSizes(-1, 0, 2, kRf64HeaderBytes), EBADF);
}

} // namespace
