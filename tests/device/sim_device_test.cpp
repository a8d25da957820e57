// Tests of the simulated capture device (sim_pcm.cpp). They drive it through
// alsa-lib exactly as a program would: a configuration file named by
// ALSA_CONFIG_PATH, snd_pcm_open("sim"), hw_params setters and reads.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alsa_config.hpp"
#include "sim_signal.hpp"

namespace {

constexpr snd_pcm_format_t kS16 = SND_PCM_FORMAT_S16_LE;
constexpr snd_pcm_format_t kS24 = SND_PCM_FORMAT_S24_3LE;
constexpr snd_pcm_access_t kNonInterleaved = SND_PCM_ACCESS_RW_NONINTERLEAVED;
constexpr snd_pcm_access_t kInterleaved = SND_PCM_ACCESS_RW_INTERLEAVED;

int BytesOf(snd_pcm_format_t format)
{
    return snd_pcm_format_physical_width(format) / 8;
}

// The device comes in three shapes that share no code path for constraints
// and sample layout, so behaviour tests run against each.
struct Shape {
    const char* name;
    const char* options;
    bool one_format; // offers only the format the test reads
};
// One format: a plain ioplug with exact byte constraints.
const Shape kSingleFormat{"single format", "period_frames 1024\n", true};
// Both formats, fixed period: the frame-linked format layer.
const Shape kBothFormats{"both formats", "period_frames 1024\n", false};
// Both formats, any period: a plain ioplug with a byte range.
const Shape kAnyPeriod{"any period", "", false};

std::string DeviceOptions(const Shape& shape, snd_pcm_format_t format = kS16)
{
    std::string options = shape.options;
    if (shape.one_format)
        options += std::string("formats \"") + snd_pcm_format_name(format) + "\"\n";
    return options;
}

// Peak lists with values beyond 16 and 24 bits, to check clamping too.
const std::vector<int64_t> kLeft = {1000, -40000, 8388607, -9000000, 0, 77};
const std::vector<int64_t> kRight = {-5, 40000, 123};
const char* const kPeakOptions = "signal \"peaks\"\nleft [ 1000 -40000 8388607 -9000000 0 77 ]\n"
                                 "right [ -5 40000 123 ]\n";

int32_t PeakOf(int channel, uint64_t period, int bytes)
{
    const std::vector<int64_t>& list = channel == 0 ? kLeft : kRight;
    return SimClampSample(list[period % list.size()], bytes);
}

struct Request {
    snd_pcm_format_t format = kS16;
    snd_pcm_access_t access = kNonInterleaved;
    unsigned rate = 48000;
    snd_pcm_uframes_t period = 1024;
    snd_pcm_uframes_t buffer = 8192;
};

class HwParams {
  public:
    explicit HwParams(snd_pcm_t* pcm) : pcm_(pcm)
    {
        snd_pcm_hw_params_malloc(&params_);
        any_ = snd_pcm_hw_params_any(pcm_, params_);
    }
    ~HwParams() { snd_pcm_hw_params_free(params_); }
    HwParams(const HwParams&) = delete;
    HwParams& operator=(const HwParams&) = delete;

    int any() const { return any_; }
    int Access(snd_pcm_access_t a) { return snd_pcm_hw_params_set_access(pcm_, params_, a); }
    int Format(snd_pcm_format_t f) { return snd_pcm_hw_params_set_format(pcm_, params_, f); }
    int Channels(unsigned c) { return snd_pcm_hw_params_set_channels(pcm_, params_, c); }
    int RateNear(unsigned* r) { return snd_pcm_hw_params_set_rate_near(pcm_, params_, r, nullptr); }
    int PeriodNear(snd_pcm_uframes_t* p)
    {
        return snd_pcm_hw_params_set_period_size_near(pcm_, params_, p, nullptr);
    }
    int BufferNear(snd_pcm_uframes_t* b)
    {
        return snd_pcm_hw_params_set_buffer_size_near(pcm_, params_, b);
    }
    int Commit() { return snd_pcm_hw_params(pcm_, params_); }
    snd_pcm_hw_params_t* get() { return params_; }

  private:
    snd_pcm_t* pcm_;
    snd_pcm_hw_params_t* params_ = nullptr;
    int any_;
};

// Applies a request in the order programs usually do; the granted values are
// written back into the request. Returns 0 or the first error.
int Configure(snd_pcm_t* pcm, Request& r)
{
    HwParams hw(pcm);
    int err = hw.any();
    if (err >= 0)
        err = hw.Access(r.access);
    if (err >= 0)
        err = hw.Format(r.format);
    if (err >= 0)
        err = hw.Channels(2);
    if (err >= 0)
        err = hw.RateNear(&r.rate);
    if (err >= 0)
        err = hw.PeriodNear(&r.period);
    if (err >= 0)
        err = hw.BufferNear(&r.buffer);
    if (err >= 0)
        err = hw.Commit();
    return err;
}

int32_t Decode(const uint8_t* p, int bytes)
{
    uint32_t u = 0;
    for (int b = 0; b < bytes; ++b)
        u |= uint32_t{p[b]} << (8 * b);
    const int shift = 32 - 8 * bytes;
    return static_cast<int32_t>(u << shift) >> shift;
}

// Samples of one read, per channel, decoded from the layout of the request.
struct Samples {
    std::array<std::vector<int32_t>, 2> ch;
};

snd_pcm_sframes_t Read(snd_pcm_t* pcm, const Request& r, snd_pcm_uframes_t frames, Samples& out)
{
    const int bytes = BytesOf(r.format);
    // Poisoned, so a byte the device forgot to write cannot pass for silence.
    std::vector<uint8_t> buf(frames * 2 * bytes, 0xA5);
    snd_pcm_sframes_t got;
    if (r.access == kNonInterleaved) {
        void* bufs[2] = {buf.data(), buf.data() + frames * bytes};
        got = snd_pcm_readn(pcm, bufs, frames);
    } else {
        got = snd_pcm_readi(pcm, buf.data(), frames);
    }
    for (auto& c : out.ch)
        c.clear();
    for (snd_pcm_sframes_t i = 0; i < got; ++i) {
        for (int c = 0; c < 2; ++c) {
            const size_t at =
                r.access == kNonInterleaved ? c * frames * bytes + i * bytes : (i * 2 + c) * bytes;
            out.ch[c].push_back(Decode(&buf[at], bytes));
        }
    }
    return got;
}

// For "peaks", where every sample of a period is the same value.
testing::AssertionResult AllEqual(const std::vector<int32_t>& v, int32_t want)
{
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != want)
            return testing::AssertionFailure()
                   << "sample " << i << " is " << v[i] << ", want " << want;
    }
    if (v.empty())
        return testing::AssertionFailure() << "no samples";
    return testing::AssertionSuccess();
}

void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

class SimDevice : public testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/quillosim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }

    void TearDown() override
    {
        Close();
        snd_lib_error_set_handler(nullptr);
        std::filesystem::remove_all(dir_);
        snd_config_update_free_global();
    }

    // Declares pcm "sim" with these options (plus a fresh log in the test's
    // directory) and opens it for capture.
    int Open(const std::string& options, int mode = 0, bool with_log = true)
    {
        Close();
        std::filesystem::remove(LogPath());
        const std::string conf = dir_ + "/test.conf";
        {
            std::ofstream out(conf, std::ios::trunc);
            out << "pcm_type.quillosim { lib \"" << QUILLOSIM_PLUGIN_PATH << "\" }\n"
                << "pcm.sim {\n  type quillosim\n";
            if (with_log)
                out << "  log \"" << LogPath() << "\"\n";
            out << options << "\n}\n";
        }
        setenv("ALSA_CONFIG_PATH", AlsaConfigPath(conf).c_str(), 1);
        snd_config_update_free_global();
        return snd_pcm_open(&pcm_, "sim", SND_PCM_STREAM_CAPTURE, mode);
    }

    void Close()
    {
        if (pcm_ != nullptr)
            snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }

    std::string LogPath() const { return dir_ + "/device.log"; }

    std::vector<std::string> LogLines() const
    {
        std::vector<std::string> lines;
        std::ifstream in(LogPath());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    int LogCount(const std::string& line) const
    {
        int n = 0;
        for (const std::string& l : LogLines())
            n += l == line;
        return n;
    }

    snd_pcm_t* pcm_ = nullptr;
    std::string dir_;
};

// ---------------------------------------------------------------------------
// Configuration

TEST_F(SimDevice, RefusesBadConfiguration)
{
    snd_lib_error_set_handler(QuietAlsaErrors);
    const struct {
        const char* why;
        const char* options;
    } cases[] = {
        {"unknown option", "colour \"red\""},
        {"format the device cannot make", "formats \"S32_LE\""},
        {"unknown format name", "formats \"S16_LE S17\""},
        {"empty format list", "formats \"\""},
        {"mmap access", "access \"MMAP_INTERLEAVED\""},
        {"empty access list", "access \"\""},
        {"rate not a number", "rate \"fast\""},
        {"rate below range", "rate 7999"},
        {"rate above range", "rate 192001"},
        {"period below range", "period_frames 31"},
        {"period above range", "period_frames 65537"},
        {"boolean misspelt", "paced \"maybe\""},
        {"no channels", "channels 0"},
        {"three channels", "channels 3"},
        {"signal unknown", "signal \"noise\""},
        {"peak not an integer", "left [ 1 \"x\" ]"},
        {"overrun list with a word", "overrun_periods \"3 x\""},
        {"negative overrun period", "overrun_periods [ -1 ]"},
        {"negative lose period", "lose_at_period -1"},
        {"stall period not a number", "stall_at_period \"soon\""},
        {"suspend period given twice in one string", "suspend_at_period \"2 3\""},
        {"zero frequency", "freq 0"},
        {"frequency not a number", "freq \"high\""},
        {"relative log path", "log \"device.log\""},
        {"interleaved only with a fixed period and both formats",
         "access \"RW_INTERLEAVED\"\nperiod_frames 1024"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(Open(c.options, 0, /*with_log=*/false), -EINVAL);
        EXPECT_EQ(pcm_, nullptr);
    }
}

TEST_F(SimDevice, AcceptsNumbersWrittenAsStrings)
{
    ASSERT_EQ(Open("rate \"48000\"\nperiod_frames \"1024\"\nfail_commit \"no\"\n"
                   "paced off\nfreq \"997.5\"\ncomment \"a note\""),
              0);
    Request r;
    r.rate = 44100;
    r.period = 4096;
    ASSERT_EQ(Configure(pcm_, r), 0);
    EXPECT_EQ(r.rate, 48000u);
    EXPECT_EQ(r.period, 1024u);
}

TEST_F(SimDevice, RefusesPlayback)
{
    snd_lib_error_set_handler(QuietAlsaErrors);
    ASSERT_EQ(Open("", 0), 0);
    Close();
    snd_pcm_t* pcm = nullptr;
    EXPECT_EQ(snd_pcm_open(&pcm, "sim", SND_PCM_STREAM_PLAYBACK, 0), -EINVAL);
}

// ---------------------------------------------------------------------------
// Hardware constraints

TEST_F(SimDevice, OffersOnlyTheDeclaredFormats)
{
    const struct {
        const char* options;
        snd_pcm_format_t format;
        bool granted;
    } cases[] = {
        {"", kS16, true},
        {"", kS24, true},
        {"", SND_PCM_FORMAT_S32_LE, false},
        {"", SND_PCM_FORMAT_S24_LE, false},
        {"formats \"S16_LE\"", kS16, true},
        {"formats \"S16_LE\"", kS24, false},
        {"formats \"S24_3LE\"", kS24, true},
        {"formats \"S24_3LE\"", kS16, false},
        {"formats \"S24_3LE\"\nperiod_frames 1024", kS16, false},
        {"period_frames 1024", SND_PCM_FORMAT_S32_LE, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " / " + snd_pcm_format_name(c.format));
        ASSERT_EQ(Open(c.options), 0);
        HwParams hw(pcm_);
        if (c.granted)
            EXPECT_EQ(hw.Format(c.format), 0);
        else
            EXPECT_LT(hw.Format(c.format), 0);
    }
}

TEST_F(SimDevice, OffersOnlyTheDeclaredAccess)
{
    const struct {
        const char* options;
        snd_pcm_access_t access;
        bool granted;
    } cases[] = {
        {"", kNonInterleaved, true},
        {"", kInterleaved, true},
        {"", SND_PCM_ACCESS_MMAP_INTERLEAVED, false},
        {"access \"RW_INTERLEAVED\"", kNonInterleaved, false},
        {"access \"RW_INTERLEAVED\"", kInterleaved, true},
        {"access \"RW_NONINTERLEAVED\"", kInterleaved, false},
        {"access \"RW_NONINTERLEAVED\"", kNonInterleaved, true},
        {"access \"RW_INTERLEAVED\"\nformats \"S16_LE\"\nperiod_frames 1024", kNonInterleaved,
         false},
        // The frame-linked format layer cannot refuse mmap.
        {"period_frames 1024", SND_PCM_ACCESS_MMAP_INTERLEAVED, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " / " + snd_pcm_access_name(c.access));
        ASSERT_EQ(Open(c.options), 0);
        HwParams hw(pcm_);
        if (c.granted)
            EXPECT_EQ(hw.Access(c.access), 0);
        else
            EXPECT_LT(hw.Access(c.access), 0);
    }
}

TEST_F(SimDevice, HasExactlyTwoChannels)
{
    for (const Shape& s : {kSingleFormat, kBothFormats, kAnyPeriod}) {
        SCOPED_TRACE(s.name);
        ASSERT_EQ(Open(DeviceOptions(s)), 0);
        HwParams hw(pcm_);
        unsigned lo = 0, hi = 0;
        ASSERT_EQ(snd_pcm_hw_params_get_channels_min(hw.get(), &lo), 0);
        ASSERT_EQ(snd_pcm_hw_params_get_channels_max(hw.get(), &hi), 0);
        EXPECT_EQ(lo, 2u);
        EXPECT_EQ(hi, 2u);
        EXPECT_LT(hw.Channels(1), 0);
        EXPECT_EQ(hw.Channels(2), 0);
    }
}

TEST_F(SimDevice, OneChannelDeviceRefusesTwoAndDeliversChannelOne)
{
    for (const Shape& s : {kSingleFormat, kBothFormats, kAnyPeriod}) {
        SCOPED_TRACE(s.name);
        ASSERT_EQ(Open("channels 1\nsignal \"ramp\"\n" + DeviceOptions(s)), 0);
        {
            HwParams hw(pcm_);
            unsigned lo = 0, hi = 0;
            ASSERT_EQ(snd_pcm_hw_params_get_channels_min(hw.get(), &lo), 0);
            ASSERT_EQ(snd_pcm_hw_params_get_channels_max(hw.get(), &hi), 0);
            EXPECT_EQ(lo, 1u);
            EXPECT_EQ(hi, 1u);
            EXPECT_EQ(hw.Channels(2), -EINVAL);
        }
        HwParams hw(pcm_);
        ASSERT_EQ(hw.Access(kInterleaved), 0);
        ASSERT_EQ(hw.Format(kS16), 0);
        ASSERT_EQ(hw.Channels(1), 0);
        unsigned rate = 48000;
        ASSERT_EQ(hw.RateNear(&rate), 0);
        snd_pcm_uframes_t period = 1024;
        ASSERT_EQ(hw.PeriodNear(&period), 0);
        ASSERT_EQ(period, 1024u);
        ASSERT_EQ(hw.Commit(), 0);
        // Poisoned: a frame the device forgot cannot pass for the ramp.
        std::vector<uint8_t> buf(2 * 1024 * 2, 0xA5);
        ASSERT_EQ(snd_pcm_readi(pcm_, buf.data(), 2048), 2048);
        for (uint64_t n = 0; n < 2048; ++n)
            ASSERT_EQ(Decode(&buf[2 * n], 2), SimRampSample(0, n, 2)) << n;
    }
}

TEST_F(SimDevice, GrantsTheRateItIsTold)
{
    const struct {
        const char* options;
        unsigned asked;
        unsigned granted;
    } cases[] = {
        {"", 44100, 44100},          {"", 7000, 8000},
        {"", 400000, 192000},        {"rate 48000", 44100, 48000},
        {"rate 48000", 8000, 48000}, {"rate 22050\nperiod_frames 1024", 44100, 22050},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " / " + std::to_string(c.asked));
        ASSERT_EQ(Open(c.options), 0);
        HwParams hw(pcm_);
        unsigned rate = c.asked;
        ASSERT_EQ(hw.RateNear(&rate), 0);
        EXPECT_EQ(rate, c.granted);
    }
    // A fixed rate refuses an exact request for another.
    ASSERT_EQ(Open("rate 48000"), 0);
    HwParams hw(pcm_);
    EXPECT_LT(snd_pcm_hw_params_set_rate(pcm_, hw.get(), 44100, 0), 0);
}

TEST_F(SimDevice, FixedPeriodHoldsForEveryFormat)
{
    const char* const devices[] = {"period_frames 1024", "formats \"S16_LE\"\nperiod_frames 1024",
                                   "formats \"S24_3LE\"\nperiod_frames 1024"};
    for (const char* device : devices) {
        for (snd_pcm_format_t format : {kS16, kS24}) {
            for (snd_pcm_uframes_t asked : {snd_pcm_uframes_t{4096}, snd_pcm_uframes_t{100}}) {
                SCOPED_TRACE(std::string(device) + " / " + snd_pcm_format_name(format) + " / " +
                             std::to_string(asked));
                ASSERT_EQ(Open(device), 0);
                HwParams hw(pcm_);
                if (hw.Format(format) < 0)
                    continue; // single-format devices
                snd_pcm_uframes_t period = asked;
                ASSERT_EQ(hw.PeriodNear(&period), 0);
                EXPECT_EQ(period, 1024u);
                snd_pcm_uframes_t buffer = 32768;
                ASSERT_EQ(hw.BufferNear(&buffer), 0);
                EXPECT_EQ(buffer, 32768u);
                EXPECT_EQ(hw.Commit(), 0);
            }
        }
    }
}

TEST_F(SimDevice, AnyPeriodIsGrantedAsAsked)
{
    const struct {
        const char* options;
        snd_pcm_format_t format;
        snd_pcm_uframes_t period;
    } cases[] = {
        {"", kS16, 4096},
        {"", kS24, 4096},
        {"", kS16, 32},
        {"", kS24, 65536},
        {"formats \"S16_LE\"", kS16, 32},
        {"formats \"S16_LE\"", kS16, 65536},
        {"formats \"S24_3LE\"", kS24, 32},
        {"formats \"S24_3LE\"", kS24, 65536},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " / " + snd_pcm_format_name(c.format) + " / " +
                     std::to_string(c.period));
        ASSERT_EQ(Open(c.options), 0);
        Request r;
        r.format = c.format;
        r.period = c.period;
        r.buffer = c.period * 8;
        ASSERT_EQ(Configure(pcm_, r), 0);
        EXPECT_EQ(r.period, c.period);
        EXPECT_EQ(r.buffer, c.period * 8);
    }
    // Single-format devices are exact at both ends of the period range.
    for (const char* device : {"formats \"S16_LE\"", "formats \"S24_3LE\""}) {
        SCOPED_TRACE(device);
        ASSERT_EQ(Open(device), 0);
        HwParams hw(pcm_);
        snd_pcm_uframes_t lo = 0, hi = 0;
        ASSERT_EQ(snd_pcm_hw_params_get_period_size_min(hw.get(), &lo, nullptr), 0);
        ASSERT_EQ(snd_pcm_hw_params_get_period_size_max(hw.get(), &hi, nullptr), 0);
        EXPECT_EQ(lo, 32u);
        EXPECT_EQ(hi, 65536u);
    }
}

TEST_F(SimDevice, BufferHoldsTwoToSixtyFourPeriods)
{
    const struct {
        snd_pcm_uframes_t asked;
        snd_pcm_uframes_t granted;
    } cases[] = {{32768, 32768}, {100, 2048}, {2048, 2048}, {65536, 65536}, {1 << 20, 65536}};
    for (const Shape& s : {kSingleFormat, kBothFormats}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(s.name) + " / " + std::to_string(c.asked));
            ASSERT_EQ(Open(DeviceOptions(s)), 0);
            Request r;
            r.buffer = c.asked;
            ASSERT_EQ(Configure(pcm_, r), 0);
            EXPECT_EQ(r.period, 1024u);
            EXPECT_EQ(r.buffer, c.granted);
        }
    }
}

TEST_F(SimDevice, FailCommitFailsOnlyTheCommit)
{
    for (const Shape& s : {kSingleFormat, kBothFormats, kAnyPeriod}) {
        SCOPED_TRACE(s.name);
        ASSERT_EQ(Open(DeviceOptions(s) + "fail_commit true"), 0);
        HwParams hw(pcm_);
        unsigned rate = 48000;
        snd_pcm_uframes_t period = 1024, buffer = 8192;
        EXPECT_EQ(hw.Access(kNonInterleaved), 0);
        EXPECT_EQ(hw.Format(kS16), 0);
        EXPECT_EQ(hw.Channels(2), 0);
        EXPECT_EQ(hw.RateNear(&rate), 0);
        EXPECT_EQ(hw.PeriodNear(&period), 0);
        EXPECT_EQ(hw.BufferNear(&buffer), 0);
        EXPECT_EQ(hw.Commit(), -EINVAL);
    }
}

// ---------------------------------------------------------------------------
// Samples

TEST(SimSignal, RampFixedPoints)
{
    const struct {
        uint64_t frame;
        int bytes;
        int32_t left;
        int32_t right;
    } cases[] = {
        {0, 2, 1, -2},
        {0, 3, 1, -2},
        {1, 2, 0x0204, -0x0205},
        {1, 3, 0x010204, -0x010205},
        {0x100, 2, 0x0301, -0x0302},
        {0x100, 3, 0x020301, -0x020302},
        // 0x7f * 0x010203 + 1 = 0x7fff7e, just below the 24-bit sign bit;
        // 0x80 * 0x010203 + 1 = 0x810181, just above it.
        {0x7f, 3, 0x7fff7e, -0x7fff7f},
        {0x7f, 2, -0x82, 0x81},
        {0x80, 3, 0x810181 - 0x1000000, 0x7efe7e},
        {0x80, 2, 0x0181, -0x0182},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frame) + " / " + std::to_string(c.bytes));
        EXPECT_EQ(SimRampSample(0, c.frame, c.bytes), c.left);
        EXPECT_EQ(SimRampSample(1, c.frame, c.bytes), c.right);
    }
}

TEST(SimSignal, RampNeverRepeatsWithinTheLargestPeriod)
{
    for (int bytes : {2, 3}) {
        std::set<int32_t> seen;
        const uint64_t start = 123456789; // any offset into a long recording
        for (uint64_t n = start; n < start + 65536; ++n) {
            const int32_t left = SimRampSample(0, n, bytes);
            ASSERT_EQ(left + SimRampSample(1, n, bytes), -1) << n;
            ASSERT_TRUE(seen.insert(left).second) << n;
            // Every byte changes from one frame to the next.
            const uint32_t a = static_cast<uint32_t>(left);
            const uint32_t b = static_cast<uint32_t>(SimRampSample(0, n + 1, bytes));
            for (int i = 0; i < bytes; ++i)
                ASSERT_NE((a >> (8 * i)) & 0xff, (b >> (8 * i)) & 0xff) << n << " byte " << i;
        }
    }
}

enum class Expect { kSilence, kPeaks, kRamp };

TEST_F(SimDevice, DeliversPredictedSamplesInEveryLayout)
{
    const struct {
        const char* name;
        const char* options;
        Expect expect;
    } signals[] = {
        {"silence", "", Expect::kSilence},
        {"peaks", kPeakOptions, Expect::kPeaks},
        {"ramp", "signal \"ramp\"\n", Expect::kRamp},
    };
    for (const Shape& shape : {kSingleFormat, kBothFormats, kAnyPeriod}) {
        for (snd_pcm_format_t format : {kS16, kS24}) {
            for (snd_pcm_access_t access : {kNonInterleaved, kInterleaved}) {
                for (const auto& sig : signals) {
                    SCOPED_TRACE(std::string(shape.name) + " / " + snd_pcm_format_name(format) +
                                 " / " + snd_pcm_access_name(access) + " / " + sig.name);
                    ASSERT_EQ(Open(sig.options + DeviceOptions(shape, format)), 0);
                    Request r;
                    r.format = format;
                    r.access = access;
                    ASSERT_EQ(Configure(pcm_, r), 0);
                    ASSERT_EQ(r.period, 1024u);
                    const int bytes = BytesOf(format);
                    for (uint64_t k = 0; k < 7; ++k) {
                        Samples s;
                        ASSERT_EQ(Read(pcm_, r, r.period, s), 1024) << "period " << k;
                        for (int c = 0; c < 2; ++c) {
                            for (uint64_t i = 0; i < r.period; ++i) {
                                const uint64_t n = k * r.period + i;
                                int32_t want = 0;
                                if (sig.expect == Expect::kPeaks)
                                    want = PeakOf(c, k, bytes);
                                if (sig.expect == Expect::kRamp)
                                    want = SimRampSample(c, n, bytes);
                                ASSERT_EQ(s.ch[c][i], want) << "channel " << c << " frame " << n;
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST_F(SimDevice, ReadsNeedNotMatchThePeriod)
{
    // A program may read in any chunk size; frames stay consecutive, also where
    // a chunk wraps around the end of the two-period ring buffer.
    for (const Shape& shape : {kSingleFormat, kBothFormats, kAnyPeriod}) {
        for (snd_pcm_format_t format : {kS16, kS24}) {
            SCOPED_TRACE(std::string(shape.name) + " / " + snd_pcm_format_name(format));
            ASSERT_EQ(Open("signal \"ramp\"\n" + DeviceOptions(shape, format)), 0);
            Request r;
            r.format = format;
            r.buffer = 2048;
            ASSERT_EQ(Configure(pcm_, r), 0);
            ASSERT_EQ(r.buffer, 2048u);
            uint64_t n = 0;
            for (snd_pcm_uframes_t chunk : {300, 1500, 7, 4000, 1024, 333, 2500, 1}) {
                Samples s;
                ASSERT_EQ(Read(pcm_, r, chunk, s), static_cast<snd_pcm_sframes_t>(chunk));
                for (snd_pcm_uframes_t i = 0; i < chunk; ++i, ++n) {
                    ASSERT_EQ(s.ch[0][i], SimRampSample(0, n, BytesOf(format))) << n;
                    ASSERT_EQ(s.ch[1][i], SimRampSample(1, n, BytesOf(format))) << n;
                }
            }
        }
    }
}

TEST_F(SimDevice, SineFollowsThePeriodAmplitudes)
{
    ASSERT_EQ(Open("signal \"sine\"\nfreq 1000\nleft [ 10000 ]\nright [ 0 20000 ]\n"
                   "period_frames 1024"),
              0);
    Request r;
    r.rate = 48000;
    ASSERT_EQ(Configure(pcm_, r), 0);
    Samples p0, p1;
    ASSERT_EQ(Read(pcm_, r, 1024, p0), 1024);
    ASSERT_EQ(Read(pcm_, r, 1024, p1), 1024);
    // 1000 Hz at 48000 Hz: a quarter cycle is 12 frames.
    EXPECT_EQ(p0.ch[0][0], 0);
    EXPECT_EQ(p0.ch[0][12], 10000);
    EXPECT_EQ(p0.ch[0][36], -10000);
    EXPECT_EQ(p0.ch[0][4], 5000); // sin(30 degrees)
    EXPECT_TRUE(AllEqual(p0.ch[1], 0));
    // Frame 1036 is 21 7/12 cycles in: sin(210 degrees) = -0.5.
    EXPECT_EQ(p1.ch[1][12], -10000);
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(p1.ch[1][i], SimSineSample(20000, 1000, 1024 + i, 48000, 2)) << i;
}

// ---------------------------------------------------------------------------
// Faults

// Faults behave the same whether the device runs free or in real time.
const Shape kPacedSingle{"paced single format", "paced true\nperiod_frames 256\n", true};
const Shape kPacedBoth{"paced both formats", "paced true\nperiod_frames 256\n", false};
const Shape kFaultShapes[] = {kSingleFormat, kBothFormats, kPacedSingle, kPacedBoth};

// "peaks" with left[k] = 100 * k, so each read tells which period it holds.
const char* const kCountingPeaks = "signal \"peaks\"\nleft \"0 100 200 300 400 500 600 700 800\"\n";

TEST_F(SimDevice, OverrunLosesExactlyThatPeriod)
{
    for (const Shape& shape : kFaultShapes) {
        for (const char* list : {"[ 0 2 4 5 ]", "\"0 2 4 5\""}) {
            SCOPED_TRACE(std::string(shape.name) + " / " + list);
            ASSERT_EQ(Open(std::string(kCountingPeaks) + "overrun_periods " + list + "\n" +
                           DeviceOptions(shape)),
                      0);
            Request r;
            ASSERT_EQ(Configure(pcm_, r), 0);
            // A program reading period after period, counting a failed read as
            // one, finds device period k in its k-th read.
            for (int k = 0; k < 9; ++k) {
                Samples s;
                if (k == 1) // late: a paced device has period 2's fault due too
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const snd_pcm_sframes_t got = Read(pcm_, r, r.period, s);
                if (k == 0 || k == 2 || k == 4 || k == 5) {
                    EXPECT_EQ(got, -EPIPE) << "read " << k;
                    EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_XRUN);
                    ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
                } else {
                    ASSERT_EQ(got, static_cast<snd_pcm_sframes_t>(r.period)) << "read " << k;
                    EXPECT_TRUE(AllEqual(s.ch[0], 100 * k)) << "read " << k;
                }
            }
            for (const char* line : {"overrun 0", "overrun 2", "overrun 4", "overrun 5"})
                EXPECT_EQ(LogCount(line), 1) << line;
            EXPECT_EQ(LogCount("start"), 5); // first start and one per recovery
        }
    }
}

TEST_F(SimDevice, SuspendLosesOnePeriodAndResumes)
{
    for (const Shape& shape : kFaultShapes) {
        SCOPED_TRACE(shape.name);
        ASSERT_EQ(
            Open(std::string(kCountingPeaks) + "suspend_at_period 3\n" + DeviceOptions(shape)), 0);
        Request r;
        ASSERT_EQ(Configure(pcm_, r), 0);
        for (int k = 0; k < 6; ++k) {
            Samples s;
            const snd_pcm_sframes_t got = Read(pcm_, r, r.period, s);
            if (k == 3) {
                ASSERT_EQ(got, -ESTRPIPE);
                EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_SUSPENDED);
                ASSERT_EQ(snd_pcm_recover(pcm_, -ESTRPIPE, 1), 0);
                EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_RUNNING);
            } else {
                ASSERT_EQ(got, static_cast<snd_pcm_sframes_t>(r.period)) << "read " << k;
                EXPECT_TRUE(AllEqual(s.ch[0], 100 * k)) << "read " << k;
            }
        }
        EXPECT_EQ(LogCount("suspend 3"), 1);
        EXPECT_EQ(LogCount("resume"), 1);
        EXPECT_EQ(LogCount("start"), 1); // resumed, not restarted
    }
}

TEST_F(SimDevice, LostDeviceFailsEveryLaterCall)
{
    for (const Shape& shape : kFaultShapes) {
        for (snd_pcm_access_t access : {kNonInterleaved, kInterleaved}) {
            for (int lost : {0, 3}) {
                SCOPED_TRACE(std::string(shape.name) + " / " + snd_pcm_access_name(access) +
                             " / lost at " + std::to_string(lost));
                ASSERT_EQ(Open(std::string(kCountingPeaks) + "lose_at_period " +
                               std::to_string(lost) + "\n" + DeviceOptions(shape)),
                          0);
                Request r;
                r.access = access;
                ASSERT_EQ(Configure(pcm_, r), 0);
                for (int k = 0; k < lost; ++k) {
                    Samples s;
                    // Full periods up to the loss, never a short count.
                    ASSERT_EQ(Read(pcm_, r, r.period, s), static_cast<snd_pcm_sframes_t>(r.period))
                        << "read " << k;
                    EXPECT_TRUE(AllEqual(s.ch[0], 100 * k));
                }
                Samples s;
                EXPECT_EQ(Read(pcm_, r, r.period, s), -ENODEV);
                EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_DISCONNECTED);
                EXPECT_EQ(Read(pcm_, r, r.period, s), -ENODEV);
                EXPECT_LT(snd_pcm_wait(pcm_, 100), 0);
                EXPECT_LT(snd_pcm_prepare(pcm_), 0);
                EXPECT_LT(snd_pcm_start(pcm_), 0);
                EXPECT_LT(Read(pcm_, r, r.period, s), 0);
                // alsa-lib refuses these itself: the device never sees them.
                EXPECT_EQ(snd_pcm_drop(pcm_), -ENODEV);
                EXPECT_EQ(snd_pcm_drain(pcm_), -ENODEV);
                Request again;
                EXPECT_LT(Configure(pcm_, again), 0);
                Close();
                const std::vector<std::string> log = LogLines();
                ASSERT_GE(log.size(), 2u);
                EXPECT_EQ(log[log.size() - 2], "lost " + std::to_string(lost));
                EXPECT_EQ(log.back(), "close");
                EXPECT_EQ(LogCount("lost " + std::to_string(lost)), 1);
            }
        }
    }
}

TEST_F(SimDevice, StalledDeviceNeverBecomesReady)
{
    for (const Shape& shape : kFaultShapes) {
        for (int stall : {0, 2}) {
            SCOPED_TRACE(std::string(shape.name) + " / stall at " + std::to_string(stall));
            ASSERT_EQ(
                Open("stall_at_period " + std::to_string(stall) + "\n" + DeviceOptions(shape)), 0);
            Request r;
            ASSERT_EQ(Configure(pcm_, r), 0);
            ASSERT_EQ(snd_pcm_start(pcm_), 0);
            for (int k = 0; k < stall; ++k) {
                Samples s;
                ASSERT_EQ(Read(pcm_, r, r.period, s), static_cast<snd_pcm_sframes_t>(r.period));
            }
            const auto before = std::chrono::steady_clock::now();
            EXPECT_EQ(snd_pcm_wait(pcm_, 100), 0);
            EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(90));
            ASSERT_EQ(snd_pcm_nonblock(pcm_, 1), 0);
            Samples s;
            EXPECT_EQ(Read(pcm_, r, r.period, s), -EAGAIN);
            EXPECT_EQ(snd_pcm_avail(pcm_), 0);
            EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_RUNNING);
            // A restart does not bring the frames back.
            ASSERT_EQ(snd_pcm_drop(pcm_), 0);
            ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
            ASSERT_EQ(snd_pcm_start(pcm_), 0);
            EXPECT_EQ(snd_pcm_wait(pcm_, 30), 0);
            EXPECT_EQ(Read(pcm_, r, r.period, s), -EAGAIN);
            EXPECT_EQ(LogCount("stall " + std::to_string(stall)), 1);
        }
    }
}

TEST_F(SimDevice, PollDescriptorsFollowTheDevice)
{
    // A program that polls the descriptors itself (say, together with its own
    // stop descriptor) must see readiness exactly when a read can proceed.
    for (const Shape& shape : {kSingleFormat, kPacedSingle, kPacedBoth}) {
        SCOPED_TRACE(shape.name);
        ASSERT_EQ(Open(std::string(kCountingPeaks) + "stall_at_period 3\n" + DeviceOptions(shape)),
                  0);
        Request r;
        ASSERT_EQ(Configure(pcm_, r), 0);
        const int count = snd_pcm_poll_descriptors_count(pcm_);
        ASSERT_GE(count, 1);
        std::vector<pollfd> fds(static_cast<size_t>(count));
        ASSERT_EQ(snd_pcm_poll_descriptors(pcm_, fds.data(), count), count);
        // Asks alsa-lib even after a timeout, so that revents is checked on its
        // own and not only through the descriptor.
        auto ready = [&](int timeout_ms) {
            const int n = poll(fds.data(), fds.size(), timeout_ms);
            EXPECT_GE(n, 0);
            unsigned short revents = 0;
            EXPECT_EQ(snd_pcm_poll_descriptors_revents(pcm_, fds.data(), count, &revents), 0);
            EXPECT_EQ(revents & POLLERR, 0);
            return (revents & POLLIN) != 0;
        };
        EXPECT_FALSE(ready(50)) << "ready before start";
        ASSERT_EQ(snd_pcm_start(pcm_), 0);
        for (int k = 0; k < 3; ++k) {
            bool in = false;
            // Paced timer ticks may wake poll before a whole period is due.
            for (int tries = 0; tries < 20 && !in; ++tries)
                in = ready(1000);
            ASSERT_TRUE(in) << "period " << k;
            // Whole periods: more than one when a busy machine woke us late.
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
            ASSERT_GE(avail, static_cast<snd_pcm_sframes_t>(r.period));
            ASSERT_EQ(avail % static_cast<snd_pcm_sframes_t>(r.period), 0);
            Samples s;
            ASSERT_EQ(Read(pcm_, r, r.period, s), static_cast<snd_pcm_sframes_t>(r.period));
            EXPECT_TRUE(AllEqual(s.ch[0], 100 * k));
        }
        EXPECT_FALSE(ready(100)) << "ready while stalled";
    }
}

TEST_F(SimDevice, FreeRunningNeverOverrunsASlowReader)
{
    // The buffer holds 2 periods (about 10.7 ms); the reader sleeps longer.
    ASSERT_EQ(Open("signal \"ramp\"\nformats \"S16_LE\""), 0);
    Request r;
    r.period = 256;
    r.buffer = 512;
    ASSERT_EQ(Configure(pcm_, r), 0);
    ASSERT_EQ(r.buffer, 512u);
    for (uint64_t k = 0; k < 4; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        Samples s;
        ASSERT_EQ(Read(pcm_, r, 256, s), 256) << k;
        EXPECT_EQ(s.ch[0][0], SimRampSample(0, k * 256, 2));
    }
}

TEST_F(SimDevice, PacedDeviceDeliversInRealTime)
{
    for (const Shape& shape : {kSingleFormat, kBothFormats}) {
        SCOPED_TRACE(shape.name);
        ASSERT_EQ(Open("paced true\nsignal \"peaks\"\nleft [ 0 100 200 300 400 ]\n" +
                       DeviceOptions(shape)),
                  0);
        Request r;
        r.rate = 48000;
        ASSERT_EQ(Configure(pcm_, r), 0);
        const auto before = std::chrono::steady_clock::now();
        for (int k = 0; k < 5; ++k) {
            Samples s;
            ASSERT_EQ(Read(pcm_, r, 1024, s), 1024);
            EXPECT_TRUE(AllEqual(s.ch[0], 100 * k));
        }
        // Five periods of 1024 frames at 48 kHz take 106.7 ms of real time.
        EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(80));
    }
}

TEST_F(SimDevice, PacedReaderFallingBehindOverruns)
{
    for (const Shape& shape : {Shape{"single format", "period_frames 256\n", true},
                               Shape{"both formats", "period_frames 256\n", false}}) {
        SCOPED_TRACE(shape.name);
        ASSERT_EQ(
            Open("paced true\nsignal \"peaks\"\nleft \"0 100 200 300 400 500 600 700 800 900\"\n" +
                 DeviceOptions(shape)),
            0);
        Request r;
        r.buffer = 2048; // 8 periods of 5.3 ms: slack for a loaded machine
        ASSERT_EQ(Configure(pcm_, r), 0);
        Samples s;
        ASSERT_EQ(Read(pcm_, r, 256, s), 256);
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        // With period 0 read, periods 1 to 7 fit; period 8 fills the buffer.
        // The count does not depend on how long the sleep overran.
        EXPECT_EQ(Read(pcm_, r, 256, s), -EPIPE);
        EXPECT_EQ(LogCount("overrun 8"), 1);
    }
}

// The period a 16-bit ramp's first sample belongs to, among 256-frame periods
// 0..255 (the ramp repeats after 65536 frames); -1 if none.
int RampPeriod(const Samples& s)
{
    for (int k = 0; k < 256; ++k) {
        if (s.ch[0][0] == SimRampSample(0, static_cast<uint64_t>(k) * 256, 2))
            return k;
    }
    return -1;
}

TEST_F(SimDevice, PacedRestartDeliversThePeriodOfThePresent)
{
    using Clock = std::chrono::steady_clock;
    const int64_t period_us = 256 * 1000000 / 48000; // 5333 us at 48 kHz
    const auto us = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    };
    for (const bool overrun : {true, false}) {
        for (const Shape& shape : {kPacedSingle, kPacedBoth}) {
            SCOPED_TRACE(std::string(shape.name) + (overrun ? " / overrun" : " / drop"));
            ASSERT_EQ(Open("signal \"ramp\"\n" + DeviceOptions(shape)), 0);
            // 32 periods (171 ms): slack for a loaded machine between reads,
            // and still filled by the sleep.
            Request r;
            r.buffer = 8192;
            ASSERT_EQ(Configure(pcm_, r), 0);
            ASSERT_EQ(r.buffer, 8192u);
            Samples s;
            const Clock::time_point before_start = Clock::now();
            ASSERT_EQ(Read(pcm_, r, 256, s), 256);
            // Period 0 arrives a period after the start.
            const Clock::time_point first_read = Clock::now();
            ASSERT_EQ(RampPeriod(s), 0);
            if (!overrun) {
                ASSERT_EQ(snd_pcm_drop(pcm_), 0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (overrun) {
                ASSERT_EQ(Read(pcm_, r, 256, s), -EPIPE);
            }
            ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
            const Clock::time_point before_restart = Clock::now();
            ASSERT_EQ(Read(pcm_, r, 256, s), 256);
            const Clock::time_point after_restart = Clock::now();
            // Not where the reader left off (period 1, or 33 after the 32 the
            // buffer held), but the period in progress at the restart.
            const int k = RampPeriod(s);
            EXPECT_GE(k, (us(before_restart - first_read) + period_us) / period_us);
            EXPECT_LE(k, us(after_restart - before_start) / period_us);
            EXPECT_GE(k, 300000 / period_us);
            for (uint64_t i = 0; i < 256; ++i)
                ASSERT_EQ(s.ch[0][i], SimRampSample(0, k * 256 + i, 2)) << i;
            // And then on, period after period.
            ASSERT_EQ(Read(pcm_, r, 256, s), 256);
            EXPECT_EQ(RampPeriod(s), k + 1);
        }
    }
}

// ---------------------------------------------------------------------------
// Event log

TEST_F(SimDevice, LogsNegotiatedParameters)
{
    const struct {
        const char* options;
        Request request;
        const char* line;
    } cases[] = {
        {"",
         {kS24, kInterleaved, 44100, 4096, 32768},
         "hw_params format=S24_3LE access=RW_INTERLEAVED rate=44100 period=4096 buffer=32768"},
        {"period_frames 1024",
         {kS16, kNonInterleaved, 44100, 4096, 8192},
         "hw_params format=S16_LE access=RW_NONINTERLEAVED rate=44100 period=1024 buffer=8192"},
        {"period_frames 1024\nrate 96000",
         {kS24, kNonInterleaved, 44100, 4096, 16384},
         "hw_params format=S24_3LE access=RW_NONINTERLEAVED rate=96000 period=1024 buffer=16384"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_EQ(Open(c.options), 0);
        Request r = c.request;
        ASSERT_EQ(Configure(pcm_, r), 0);
        const std::vector<std::string> lines = LogLines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], c.line);
        EXPECT_EQ(lines[1], "prepare");
    }
}

TEST_F(SimDevice, LogsHowTheProgramEnded)
{
    const struct {
        const char* name;
        int (*end)(snd_pcm_t*);
        const char* last_before_close;
    } endings[] = {
        {"drop", snd_pcm_drop, "stop"},
        {"drain", snd_pcm_drain, "drain"},
    };
    for (const Shape& shape : {kSingleFormat, kBothFormats}) {
        for (const auto& e : endings) {
            SCOPED_TRACE(std::string(shape.name) + " / " + e.name);
            ASSERT_EQ(Open(DeviceOptions(shape)), 0);
            Request r;
            ASSERT_EQ(Configure(pcm_, r), 0);
            Samples s;
            ASSERT_EQ(Read(pcm_, r, r.period, s), 1024);
            ASSERT_EQ(e.end(pcm_), 0);
            Close();
            const std::vector<std::string> lines = LogLines();
            ASSERT_EQ(lines.size(), 5u);
            EXPECT_EQ(lines[1], "prepare");
            EXPECT_EQ(lines[2], "start");
            EXPECT_EQ(lines[3], e.last_before_close);
            EXPECT_EQ(lines[4], "close");
        }
    }
}

// ---------------------------------------------------------------------------
// alsa-lib behaviour that programs (and their tests) depend on, pinned down
// on this device.

TEST_F(SimDevice, WaitOnAPreparedStreamTimesOut)
{
    for (const Shape& shape : {kSingleFormat, kBothFormats}) {
        SCOPED_TRACE(shape.name);
        ASSERT_EQ(Open(DeviceOptions(shape)), 0);
        Request r;
        ASSERT_EQ(Configure(pcm_, r), 0);
        ASSERT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_PREPARED);
        EXPECT_EQ(snd_pcm_wait(pcm_, 100), 0);
        EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_PREPARED);
        ASSERT_EQ(snd_pcm_start(pcm_), 0);
        EXPECT_EQ(snd_pcm_wait(pcm_, 1000), 1);
    }
}

std::atomic<int> g_signals{0}; // lock-free, so safe in a handler
snd_pcm_t* g_abort_pcm = nullptr;

void CountAndAbortOnThird(int)
{
    if (++g_signals == 3)
        snd_pcm_abort(g_abort_pcm);
}

TEST_F(SimDevice, BlockingReadSurvivesSignalsUntilAborted)
{
    for (const Shape& shape : {kSingleFormat, kBothFormats}) {
        SCOPED_TRACE(shape.name);
        ASSERT_EQ(Open("stall_at_period 1\n" + DeviceOptions(shape)), 0);
        Request r;
        ASSERT_EQ(Configure(pcm_, r), 0);
        Samples s;
        ASSERT_EQ(Read(pcm_, r, r.period, s), 1024);

        struct sigaction action {
        }, old{};
        action.sa_handler = CountAndAbortOnThird;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: poll() returns EINTR
        ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
        g_signals = 0;
        g_abort_pcm = pcm_;
        itimerval every{{0, 30000}, {0, 30000}}, off{};
        setitimer(ITIMER_REAL, &every, nullptr);
        const snd_pcm_sframes_t got = Read(pcm_, r, r.period, s);
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);

        // The first two signals did not end the read: alsa-lib restarts its wait.
        EXPECT_GE(g_signals, 3);
        EXPECT_EQ(got, -EINTR);
    }
}

} // namespace
