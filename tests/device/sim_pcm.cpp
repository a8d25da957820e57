// Simulated ALSA capture device (two channels unless told otherwise) for
// tests, built as an external PCM plugin (libasound_module_pcm_quillosim.so).
// Every option and the exact behaviour tests may rely on are described in
// README.md next to this file.
//
// Shape of the device:
//  * Normally one ioplug PCM does everything: constraints, clock, faults and
//    sample generation.
//  * ioplug can only constrain the period in bytes. With both formats offered
//    and a fixed period in frames, no byte range gives the same frame count
//    for 4-byte and 6-byte frames, so that one case stacks an extplug (which
//    links client and slave periods in frames) over a "raw" ioplug running in
//    S32_LE; the raw ioplug produces values already in the client's scale and
//    the extplug only narrows them to S16_LE or S24_3LE.

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim_signal.hpp"

namespace {

constexpr unsigned kMaxChannels = 2;
constexpr unsigned kMinRate = 8000;
constexpr unsigned kMaxRate = 192000;
constexpr unsigned kMinPeriod = 32;
constexpr unsigned kMaxPeriod = 65536;
constexpr unsigned kMinPeriods = 2;
constexpr unsigned kMaxPeriods = 64;
constexpr snd_pcm_format_t kRawFormat = SND_PCM_FORMAT_S32_LE;

enum class Signal { kSilence, kPeaks, kRamp, kSine };

struct Options {
    std::vector<snd_pcm_format_t> formats{SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE};
    std::vector<snd_pcm_access_t> accesses{SND_PCM_ACCESS_RW_NONINTERLEAVED,
                                           SND_PCM_ACCESS_RW_INTERLEAVED};
    unsigned rate = 0;                // 0: any rate in [kMinRate, kMaxRate]
    unsigned period_frames = 0;       // 0: any period in [kMinPeriod, kMaxPeriod]
    unsigned channels = kMaxChannels; // the only channel count offered
    bool fail_commit = false;
    bool paced = false;
    std::set<uint64_t> overrun_periods;
    std::optional<uint64_t> lose_at;
    std::optional<uint64_t> stall_at;
    std::optional<uint64_t> suspend_at;
    Signal signal = Signal::kSilence;
    std::vector<int64_t> left;
    std::vector<int64_t> right;
    double freq = 440.0;
    std::string log_path;
    unsigned open_delay_ms = 0; // the open sleeps this long, as a slow card might
    // Like a sound server that dies: the read of this period reports an
    // overrun, and every prepare and start after it fails.
    std::optional<uint64_t> die_at;
    // Paced: a full buffer loses its oldest period for each new one, without
    // an overrun, as a ring that is written over does.
    bool quiet_overflow = false;
    // A shared-memory file of this size made at open, as a sound server's
    // client library does (ftruncate past a file-size limit raises SIGXFSZ).
    unsigned shm_at_open_mib = 0;

    bool NeedsFormatLayer() const { return formats.size() > 1 && period_frames != 0; }
};

int SampleBytes(snd_pcm_format_t format)
{
    return snd_pcm_format_physical_width(format) / 8;
}

// ---------------------------------------------------------------------------
// Option parsing. Values may be given as numbers or as strings so that a
// test can generate a configuration with plain string formatting.

int BadOption(const char* id, const char* why)
{
    SNDERR("quillosim: option %s: %s", id, why);
    return -EINVAL;
}

std::vector<std::string> Words(const char* text)
{
    std::vector<std::string> words;
    std::string word;
    for (const char* p = text;; ++p) {
        if (*p == '\0' || *p == ' ' || *p == '\t' || *p == '\n') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*p == '\0')
                break;
        } else {
            word += *p;
        }
    }
    return words;
}

bool ParseInteger(const std::string& text, int64_t& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    value = v;
    return true;
}

bool GetInteger(snd_config_t* node, int64_t& value)
{
    switch (snd_config_get_type(node)) {
    case SND_CONFIG_TYPE_INTEGER: {
        long v = 0;
        if (snd_config_get_integer(node, &v) < 0)
            return false;
        value = v;
        return true;
    }
    case SND_CONFIG_TYPE_INTEGER64: {
        long long v = 0;
        if (snd_config_get_integer64(node, &v) < 0)
            return false;
        value = v;
        return true;
    }
    case SND_CONFIG_TYPE_STRING: {
        const char* s = nullptr;
        if (snd_config_get_string(node, &s) < 0)
            return false;
        const std::vector<std::string> words = Words(s);
        return words.size() == 1 && ParseInteger(words[0], value);
    }
    default:
        return false;
    }
}

// A list is a compound ([ 3 7 ]), a string ("3 7") or a single integer.
bool GetIntegerList(snd_config_t* node, std::vector<int64_t>& values)
{
    values.clear();
    if (snd_config_get_type(node) == SND_CONFIG_TYPE_COMPOUND) {
        snd_config_iterator_t i, next;
        snd_config_for_each(i, next, node)
        {
            int64_t v = 0;
            if (!GetInteger(snd_config_iterator_entry(i), v))
                return false;
            values.push_back(v);
        }
        return true;
    }
    if (snd_config_get_type(node) == SND_CONFIG_TYPE_STRING) {
        const char* s = nullptr;
        if (snd_config_get_string(node, &s) < 0)
            return false;
        for (const std::string& word : Words(s)) {
            int64_t v = 0;
            if (!ParseInteger(word, v))
                return false;
            values.push_back(v);
        }
        return true;
    }
    int64_t v = 0;
    if (!GetInteger(node, v))
        return false;
    values.push_back(v);
    return true;
}

bool GetString(snd_config_t* node, std::string& value)
{
    const char* s = nullptr;
    if (snd_config_get_string(node, &s) < 0)
        return false;
    value = s;
    return true;
}

int ParseFormats(const char* id, snd_config_t* node, Options& o)
{
    std::string text;
    if (!GetString(node, text))
        return BadOption(id, "expected a string");
    o.formats.clear();
    for (const std::string& word : Words(text.c_str())) {
        const snd_pcm_format_t f = snd_pcm_format_value(word.c_str());
        if (f != SND_PCM_FORMAT_S16_LE && f != SND_PCM_FORMAT_S24_3LE)
            return BadOption(id, "only S16_LE and S24_3LE are supported");
        if (std::find(o.formats.begin(), o.formats.end(), f) == o.formats.end())
            o.formats.push_back(f);
    }
    if (o.formats.empty())
        return BadOption(id, "no format given");
    return 0;
}

int ParseAccess(const char* id, snd_config_t* node, Options& o)
{
    std::string text;
    if (!GetString(node, text))
        return BadOption(id, "expected a string");
    o.accesses.clear();
    for (const std::string& word : Words(text.c_str())) {
        snd_pcm_access_t a;
        if (word == "RW_INTERLEAVED")
            a = SND_PCM_ACCESS_RW_INTERLEAVED;
        else if (word == "RW_NONINTERLEAVED")
            a = SND_PCM_ACCESS_RW_NONINTERLEAVED;
        else
            return BadOption(id, "only RW_INTERLEAVED and RW_NONINTERLEAVED");
        if (std::find(o.accesses.begin(), o.accesses.end(), a) == o.accesses.end())
            o.accesses.push_back(a);
    }
    if (o.accesses.empty())
        return BadOption(id, "no access type given");
    return 0;
}

int ParseRange(const char* id, snd_config_t* node, int64_t lo, int64_t hi, bool zero_ok,
               unsigned& out)
{
    int64_t v = 0;
    if (!GetInteger(node, v))
        return BadOption(id, "expected an integer");
    if (!(zero_ok && v == 0) && (v < lo || v > hi))
        return BadOption(id, "value out of range");
    out = static_cast<unsigned>(v);
    return 0;
}

int ParsePeriodIndex(const char* id, snd_config_t* node, std::optional<uint64_t>& out)
{
    int64_t v = 0;
    if (!GetInteger(node, v) || v < 0)
        return BadOption(id, "expected a period index >= 0");
    out = static_cast<uint64_t>(v);
    return 0;
}

int ParseBool(const char* id, snd_config_t* node, bool& out)
{
    const int v = snd_config_get_bool(node);
    if (v < 0)
        return BadOption(id, "expected true or false");
    out = v != 0;
    return 0;
}

int ParseOptions(snd_config_t* conf, Options& o)
{
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0)
            continue;
        const std::string key = id;
        int err = 0;
        if (key == "comment" || key == "type" || key == "hint") {
            continue; // generic PCM fields that alsa-lib itself understands
        } else if (key == "formats") {
            err = ParseFormats(id, node, o);
        } else if (key == "access") {
            err = ParseAccess(id, node, o);
        } else if (key == "rate") {
            err = ParseRange(id, node, kMinRate, kMaxRate, true, o.rate);
        } else if (key == "period_frames") {
            err = ParseRange(id, node, kMinPeriod, kMaxPeriod, true, o.period_frames);
        } else if (key == "channels") {
            err = ParseRange(id, node, 1, kMaxChannels, false, o.channels);
        } else if (key == "fail_commit") {
            err = ParseBool(id, node, o.fail_commit);
        } else if (key == "paced") {
            err = ParseBool(id, node, o.paced);
        } else if (key == "overrun_periods") {
            std::vector<int64_t> list;
            if (!GetIntegerList(node, list))
                return BadOption(id, "expected a list of period indices");
            for (int64_t k : list) {
                if (k < 0)
                    return BadOption(id, "period indices must be >= 0");
                o.overrun_periods.insert(static_cast<uint64_t>(k));
            }
        } else if (key == "lose_at_period") {
            err = ParsePeriodIndex(id, node, o.lose_at);
        } else if (key == "stall_at_period") {
            err = ParsePeriodIndex(id, node, o.stall_at);
        } else if (key == "suspend_at_period") {
            err = ParsePeriodIndex(id, node, o.suspend_at);
        } else if (key == "signal") {
            std::string s;
            if (!GetString(node, s))
                return BadOption(id, "expected a string");
            if (s == "silence")
                o.signal = Signal::kSilence;
            else if (s == "peaks")
                o.signal = Signal::kPeaks;
            else if (s == "ramp")
                o.signal = Signal::kRamp;
            else if (s == "sine")
                o.signal = Signal::kSine;
            else
                return BadOption(id, "expected silence, peaks, ramp or sine");
        } else if (key == "left" || key == "right") {
            if (!GetIntegerList(node, key == "left" ? o.left : o.right))
                return BadOption(id, "expected a list of integers");
        } else if (key == "freq") {
            double f = 0;
            std::string s;
            if (snd_config_get_ireal(node, &f) < 0) {
                if (!GetString(node, s))
                    return BadOption(id, "expected a number");
                char* end = nullptr;
                f = std::strtod(s.c_str(), &end);
                if (s.empty() || *end != '\0')
                    return BadOption(id, "expected a number");
            }
            if (!(f > 0))
                return BadOption(id, "must be positive");
            o.freq = f;
        } else if (key == "die_at_period") {
            err = ParsePeriodIndex(id, node, o.die_at);
        } else if (key == "quiet_overflow") {
            err = ParseBool(id, node, o.quiet_overflow);
        } else if (key == "shm_at_open_mib") {
            err = ParseRange(id, node, 1, 1024, true, o.shm_at_open_mib);
        } else if (key == "open_delay_ms") {
            err = ParseRange(id, node, 0, 60000, true, o.open_delay_ms);
        } else if (key == "log") {
            if (!GetString(node, o.log_path) || o.log_path.empty() || o.log_path[0] != '/')
                return BadOption(id, "expected an absolute path");
        } else {
            SNDERR("quillosim: unknown option %s", id);
            return -EINVAL;
        }
        if (err < 0)
            return err;
    }
    // The frame-linked layer that pins the period for both formats cannot
    // restrict the access type, so refuse rather than silently accept
    // non-interleaved reads on a device declared interleaved-only.
    if (o.NeedsFormatLayer() && o.accesses.size() < 2) {
        SNDERR("quillosim: period_frames with both formats cannot restrict access; "
               "list a single format");
        return -EINVAL;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Sample storage in the channel areas alsa-lib hands to transfer callbacks.

uint8_t* SamplePtr(const snd_pcm_channel_area_t& area, snd_pcm_uframes_t frame)
{
    return static_cast<uint8_t*>(area.addr) + (area.first + frame * area.step) / 8;
}

void StoreSample(uint8_t* p, snd_pcm_format_t format, int32_t value)
{
    const uint32_t u = static_cast<uint32_t>(value);
    const int bytes = SampleBytes(format);
    for (int b = 0; b < bytes; ++b)
        p[b] = static_cast<uint8_t>(u >> (8 * b));
}

int32_t LoadRawSample(const uint8_t* p)
{
    const uint32_t u =
        uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    return static_cast<int32_t>(u);
}

int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// ---------------------------------------------------------------------------
// The device model. alsa-lib serialises most callbacks with its own lock,
// but some (poll_revents, prepare, drain) run outside it, so every entry
// point takes mu_.

class Device {
  public:
    explicit Device(Options options) : opt_(std::move(options)) {}
    ~Device()
    {
        if (fd_ >= 0)
            close(fd_);
        if (log_fd_ >= 0)
            close(log_fd_);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    int Init()
    {
        fd_ = opt_.paced ? timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)
                         : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd_ < 0)
            return -errno;
        if (!opt_.log_path.empty()) {
            log_fd_ = open(opt_.log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (log_fd_ < 0) {
                const int err = -errno;
                SNDERR("quillosim: cannot open log %s", opt_.log_path.c_str());
                return err;
            }
        }
        if (opt_.shm_at_open_mib != 0) {
            // A failure is the client library's to handle; only its
            // outcome is logged.
            const int shm = memfd_create("quillosim", MFD_CLOEXEC);
            const off_t bytes = off_t{opt_.shm_at_open_mib} << 20;
            const bool sized = shm >= 0 && ftruncate(shm, bytes) == 0;
            Log(std::string("shm ") + (sized ? "sized" : "refused"));
            if (shm >= 0)
                close(shm);
        }
        if (opt_.open_delay_ms != 0) {
            // Logged before the sleep, so that a test knows the program is
            // now inside its device open.
            Log("open delay " + std::to_string(opt_.open_delay_ms));
            timespec delay{static_cast<time_t>(opt_.open_delay_ms / 1000),
                           static_cast<long>(opt_.open_delay_ms % 1000) * 1000000};
            while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
            }
        }
        return 0;
    }

    const Options& options() const { return opt_; }
    int poll_fd() const { return fd_; }

    // Called by the ioplug that talks to the program (log_params) or by the
    // raw ioplug under the format layer, whose extplug logs instead.
    int HwParams(const snd_pcm_ioplug_t* io, bool log_params)
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (opt_.fail_commit)
            return -EINVAL;
        if (lost_)
            return -ENODEV;
        rate_ = io->rate;
        period_ = io->period_size;
        buffer_ = io->buffer_size;
        avail_min_ = period_;
        period_ns_ = std::max<int64_t>(1, static_cast<int64_t>(period_ * 1000000000ull / rate_));
        if (log_params) {
            client_format_ = io->format;
            LogHwParams(io->format, io->access, rate_, period_, buffer_);
        }
        return 0;
    }

    void ClientHwParams(snd_pcm_format_t format, snd_pcm_access_t access)
    {
        std::lock_guard<std::mutex> lock(mu_);
        client_format_ = format;
        LogHwParams(format, access, rate_, period_, buffer_);
    }

    void SwParams(const snd_pcm_sw_params_t* params)
    {
        std::lock_guard<std::mutex> lock(mu_);
        snd_pcm_uframes_t v = 0;
        if (snd_pcm_sw_params_get_avail_min(params, &v) == 0 && v > 0)
            avail_min_ = v;
    }

    int Prepare()
    {
        std::lock_guard<std::mutex> lock(mu_);
        Log("prepare");
        if (lost_)
            return -ENODEV;
        if (dead_)
            return -EIO;
        // alsa-lib has just reset its pointers to 0: a new run begins.
        hw_frames_ = 0;
        segments_.clear();
        draining_ = false;
        MakeIdle();
        return 0;
    }

    int Start()
    {
        std::lock_guard<std::mutex> lock(mu_);
        Log("start");
        if (lost_)
            return -ENODEV;
        if (dead_)
            return -EIO;
        if (opt_.paced) {
            StartPacing();
        } else if (!stalled_) {
            MakeReady();
        }
        return 0;
    }

    int Stop(const snd_pcm_ioplug_t* io)
    {
        std::lock_guard<std::mutex> lock(mu_);
        // ioplug ends a drain with a drop, and snd_pcm_close drops again a
        // stream the program already dropped; neither is a stop of its own.
        if (!draining_ && io->state != SND_PCM_STATE_SETUP)
            Log("stop");
        draining_ = false;
        // A stopped device captures nothing: the next start begins at its time.
        restart_at_now_ = true;
        MakeIdle();
        return 0;
    }

    int Drain()
    {
        std::lock_guard<std::mutex> lock(mu_);
        Log("drain");
        draining_ = true;
        MakeIdle();
        return lost_ ? -ENODEV : 0;
    }

    int Resume(snd_pcm_ioplug_t* io)
    {
        std::lock_guard<std::mutex> lock(mu_);
        Log("resume");
        if (lost_)
            return -ENODEV;
        if (io->state != SND_PCM_STATE_SUSPENDED)
            return 0;
        // ioplug does not change the state on resume; the plugin must.
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_RUNNING);
        if (opt_.paced) {
            StartPacing();
        } else if (!stalled_) {
            MakeReady();
        }
        return 0;
    }

    void Close()
    {
        std::lock_guard<std::mutex> lock(mu_);
        Log("close");
    }

    snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io)
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (io->state != SND_PCM_STATE_RUNNING)
            return Position();
        const uint64_t appl = io->appl_ptr;
        const uint64_t due = opt_.paced ? DueSlots() : 0;
        while (!stalled_) {
            // Free-running keeps exactly one unread period ahead of the program,
            // so it can neither starve nor overrun however it reads.
            if (opt_.paced ? next_period_ >= due : hw_frames_ - appl >= period_)
                break;
            const uint64_t k = next_period_;
            if (opt_.stall_at == k) {
                EnterStall();
                break;
            }
            // An injected fault strikes the read of its own period: a paced
            // reader that comes late still gets every period before it first.
            if (opt_.paced && hw_frames_ > appl &&
                (opt_.lose_at == k || opt_.suspend_at == k || opt_.overrun_periods.count(k) != 0))
                break;
            if (opt_.lose_at == k) {
                lost_ = true;
                Log("lost " + std::to_string(k));
                // A non-negative pointer keeps ioplug from turning this into an
                // xrun; the program then waits, and poll reports the disconnect.
                snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
                MakeReady();
                return Position();
            }
            // The device clock moves on even when a period is lost, so period
            // indices stay tied to real time across overruns and restarts.
            ++next_period_;
            if (opt_.suspend_at == k) {
                Log("suspend " + std::to_string(k));
                snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SUSPENDED);
                MakeReady();
                return Position();
            }
            if (opt_.overrun_periods.count(k) != 0) {
                Log("overrun " + std::to_string(k));
                return -EPIPE;
            }
            if (opt_.die_at == k) {
                dead_ = true;
                Log("die " + std::to_string(k));
                return -EPIPE;
            }
            if (opt_.quiet_overflow && hw_frames_ - appl + period_ > buffer_) {
                // Full: the oldest period unread makes room for this one,
                // without a word. The unread frames now hold the periods
                // from the next one on, this one last.
                const uint64_t oldest = GlobalFrame(appl);
                Log("dropped " + std::to_string(oldest / period_));
                segments_.push_back({appl, oldest + period_});
                continue;
            }
            Deliver(k);
            // Like the kernel: a full buffer is an overrun (stop threshold).
            if (opt_.paced && hw_frames_ - appl >= buffer_) {
                // The device stops here, so the periods until the restart are
                // never captured.
                restart_at_now_ = true;
                Log("overrun " + std::to_string(k));
                return -EPIPE;
            }
        }
        return Position();
    }

    snd_pcm_sframes_t Transfer(const snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                               snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
    {
        std::lock_guard<std::mutex> lock(mu_);
        // Read access transfers straight into the program's buffer, from
        // appl_ptr on. Under the format layer the raw device is read through
        // ioplug's mmap emulation, whose offset is a ring position instead.
        uint64_t first = io->appl_ptr;
        if (io->access != SND_PCM_ACCESS_RW_INTERLEAVED &&
            io->access != SND_PCM_ACCESS_RW_NONINTERLEAVED)
            first += (offset + buffer_ - io->appl_ptr % buffer_) % buffer_;
        const int bytes = SampleBytes(client_format_);
        for (snd_pcm_uframes_t i = 0; i < size; ++i) {
            const uint64_t frame = GlobalFrame(first + i);
            const uint64_t period = frame / period_;
            for (unsigned c = 0; c < io->channels; ++c) {
                StoreSample(SamplePtr(areas[c], offset + i), io->format,
                            SampleValue(static_cast<int>(c), frame, period, bytes));
            }
        }
        return static_cast<snd_pcm_sframes_t>(size);
    }

    int PollRevents(const snd_pcm_ioplug_t* io, unsigned short* revents)
    {
        std::lock_guard<std::mutex> lock(mu_);
        switch (io->state) {
        case SND_PCM_STATE_RUNNING:
            // Consume timer ticks only here: in error states the descriptor
            // must stay readable so that every wait reports the error.
            if (opt_.paced)
                DrainFd();
            *revents = ReadableNow(io->appl_ptr) ? POLLIN : 0;
            break;
        case SND_PCM_STATE_PREPARED:
            *revents = 0; // nothing arrives before start, as on hardware
            break;
        case SND_PCM_STATE_DRAINING:
            *revents = POLLIN;
            break;
        default:
            *revents = POLLIN | POLLERR;
            break;
        }
        return 0;
    }

  private:
    struct Segment {
        uint64_t local;  // first frame of the segment, counted since prepare
        uint64_t global; // the same frame counted since the first start
    };

    void Log(const std::string& line)
    {
        if (log_fd_ < 0)
            return;
        const std::string text = line + "\n";
        // One write per line so that lines from several handles never mix.
        const ssize_t n = write(log_fd_, text.data(), text.size());
        (void)n;
    }

    void LogHwParams(snd_pcm_format_t format, snd_pcm_access_t access, unsigned rate,
                     uint64_t period, uint64_t buffer)
    {
        Log(std::string("hw_params format=") + snd_pcm_format_name(format) +
            " access=" + snd_pcm_access_name(access) + " rate=" + std::to_string(rate) +
            " period=" + std::to_string(period) + " buffer=" + std::to_string(buffer));
    }

    snd_pcm_sframes_t Position() const
    {
        return buffer_ == 0 ? 0 : static_cast<snd_pcm_sframes_t>(hw_frames_ % buffer_);
    }

    // Period slots completed since the first start: slot k (device frames
    // k * period onwards) is complete, and due, at (k + 1) * period time.
    uint64_t DueSlots() const
    {
        const int64_t elapsed = NowNs() - clock_origin_ns_;
        return elapsed > 0 ? static_cast<uint64_t>(elapsed / period_ns_) : 0;
    }

    void Deliver(uint64_t k)
    {
        if (segments_.empty() || GlobalFrame(hw_frames_) != k * period_)
            segments_.push_back({hw_frames_, k * period_});
        hw_frames_ += period_;
    }

    uint64_t GlobalFrame(uint64_t local) const
    {
        for (auto it = segments_.rbegin(); it != segments_.rend(); ++it) {
            if (it->local <= local)
                return it->global + (local - it->local);
        }
        return local;
    }

    int64_t PerPeriod(int channel, uint64_t period) const
    {
        const std::vector<int64_t>& list = channel == 0 ? opt_.left : opt_.right;
        return list.empty() ? 0 : list[period % list.size()];
    }

    int32_t SampleValue(int channel, uint64_t frame, uint64_t period, int bytes) const
    {
        switch (opt_.signal) {
        case Signal::kSilence:
            return 0;
        case Signal::kPeaks:
            return SimClampSample(PerPeriod(channel, period), bytes);
        case Signal::kRamp:
            return SimRampSample(channel, frame, bytes);
        case Signal::kSine:
            return SimSineSample(static_cast<double>(PerPeriod(channel, period)), opt_.freq, frame,
                                 rate_, bytes);
        }
        return 0;
    }

    bool ReadableNow(uint64_t appl)
    {
        if (hw_frames_ - appl >= avail_min_)
            return true;
        if (stalled_)
            return false;
        if (opt_.paced && DueSlots() <= next_period_)
            return false;
        // Withhold readiness the moment the stall begins, so a program that only
        // waits (without reading) already sees it.
        if (opt_.stall_at == next_period_) {
            EnterStall();
            return false;
        }
        return true;
    }

    void EnterStall()
    {
        stalled_ = true;
        Log("stall " + std::to_string(next_period_));
        MakeIdle();
    }

    void StartPacing()
    {
        // Device frame n is captured n / rate after the first start, whatever
        // happens later. An injected fault loses its period but no time, so
        // the slots stay where they were; a restart after a real overrun or a
        // stop carries on with the period of the present.
        if (!clock_started_) {
            clock_origin_ns_ = NowNs();
            clock_started_ = true;
        }
        if (restart_at_now_)
            next_period_ = std::max(next_period_, DueSlots());
        restart_at_now_ = false;
        if (stalled_)
            return;
        // Absolute ticks on the same clock as DueSlots(), so the descriptor turns
        // readable exactly when the pointer has a new period to report.
        itimerspec ticks{};
        const int64_t first =
            clock_origin_ns_ + static_cast<int64_t>(next_period_ + 1) * period_ns_;
        ticks.it_value.tv_sec = first / 1000000000;
        ticks.it_value.tv_nsec = first % 1000000000;
        ticks.it_interval.tv_sec = period_ns_ / 1000000000;
        ticks.it_interval.tv_nsec = period_ns_ % 1000000000;
        timerfd_settime(fd_, TFD_TIMER_ABSTIME, &ticks, nullptr);
    }

    void MakeReady()
    {
        if (opt_.paced) {
            itimerspec ticks{};
            ticks.it_value.tv_nsec = 1; // fires at once and stays readable
            timerfd_settime(fd_, 0, &ticks, nullptr);
        } else {
            const uint64_t one = 1;
            const ssize_t n = write(fd_, &one, sizeof one);
            (void)n;
        }
    }

    void MakeIdle()
    {
        if (opt_.paced) {
            const itimerspec off{};
            timerfd_settime(fd_, 0, &off, nullptr);
        }
        DrainFd();
    }

    void DrainFd()
    {
        uint64_t count = 0;
        const ssize_t n = read(fd_, &count, sizeof count);
        (void)n;
    }

    std::mutex mu_;
    const Options opt_;
    int fd_ = -1;
    int log_fd_ = -1;

    // Negotiated by hw_params.
    snd_pcm_format_t client_format_ = SND_PCM_FORMAT_S16_LE;
    unsigned rate_ = 48000;
    uint64_t period_ = 1;
    uint64_t buffer_ = 0;
    uint64_t avail_min_ = 1;
    int64_t period_ns_ = 1;

    // Lives as long as the handle: period slots counted since the first start.
    uint64_t next_period_ = 0;
    // Paced: the device's clock, from the first start.
    int64_t clock_origin_ns_ = 0;
    bool clock_started_ = false;
    bool restart_at_now_ = false;
    bool stalled_ = false;
    bool lost_ = false;
    bool dead_ = false;

    // The current run, from the last prepare.
    uint64_t hw_frames_ = 0;
    std::vector<Segment> segments_;
    bool draining_ = false;
};

// ---------------------------------------------------------------------------
// ioplug glue.

struct IoplugHandle {
    snd_pcm_ioplug_t io{};
    std::shared_ptr<Device> dev;
    bool raw = false; // slave of the format layer
};

IoplugHandle* HandleOf(const snd_pcm_ioplug_t* io)
{
    return static_cast<IoplugHandle*>(io->private_data);
}
Device& DevOf(const snd_pcm_ioplug_t* io)
{
    return *HandleOf(io)->dev;
}

int IoStart(snd_pcm_ioplug_t* io)
{
    return DevOf(io).Start();
}
int IoStop(snd_pcm_ioplug_t* io)
{
    return DevOf(io).Stop(io);
}
snd_pcm_sframes_t IoPointer(snd_pcm_ioplug_t* io)
{
    return DevOf(io).Pointer(io);
}
snd_pcm_sframes_t IoTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                             snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    return DevOf(io).Transfer(io, areas, offset, size);
}
int IoClose(snd_pcm_ioplug_t* io)
{
    IoplugHandle* h = HandleOf(io);
    h->dev->Close();
    delete h;
    return 0;
}
int IoHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*)
{
    return DevOf(io).HwParams(io, !HandleOf(io)->raw);
}
int IoSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params)
{
    DevOf(io).SwParams(params);
    return 0;
}
int IoPrepare(snd_pcm_ioplug_t* io)
{
    return DevOf(io).Prepare();
}
int IoDrain(snd_pcm_ioplug_t* io)
{
    return DevOf(io).Drain();
}
int IoResume(snd_pcm_ioplug_t* io)
{
    return DevOf(io).Resume(io);
}
int IoPollRevents(snd_pcm_ioplug_t* io, struct pollfd*, unsigned int, unsigned short* revents)
{
    return DevOf(io).PollRevents(io, revents);
}

const snd_pcm_ioplug_callback_t kIoplugCallbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = IoStart;
    c.stop = IoStop;
    c.pointer = IoPointer;
    c.transfer = IoTransfer;
    c.close = IoClose;
    c.hw_params = IoHwParams;
    c.sw_params = IoSwParams;
    c.prepare = IoPrepare;
    c.drain = IoDrain;
    c.resume = IoResume;
    c.poll_revents = IoPollRevents;
    return c;
}();

int SetList(snd_pcm_ioplug_t* io, int type, const std::vector<unsigned>& list)
{
    return snd_pcm_ioplug_set_param_list(io, type, static_cast<unsigned>(list.size()), list.data());
}

int ApplyConstraints(snd_pcm_ioplug_t* io, const Options& o, bool raw)
{
    std::vector<unsigned> accesses;
    std::vector<unsigned> formats;
    if (raw) {
        // The extplug above reads through mmap, whatever the program uses.
        accesses = {SND_PCM_ACCESS_MMAP_INTERLEAVED, SND_PCM_ACCESS_MMAP_NONINTERLEAVED,
                    SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_RW_NONINTERLEAVED};
        formats = {kRawFormat};
    } else {
        for (snd_pcm_access_t a : o.accesses)
            accesses.push_back(a);
        for (snd_pcm_format_t f : o.formats)
            formats.push_back(f);
    }
    unsigned min_frame = ~0u;
    unsigned max_frame = 0;
    for (unsigned f : formats) {
        const unsigned bytes =
            o.channels * static_cast<unsigned>(SampleBytes(static_cast<snd_pcm_format_t>(f)));
        min_frame = std::min(min_frame, bytes);
        max_frame = std::max(max_frame, bytes);
    }
    int err = SetList(io, SND_PCM_IOPLUG_HW_ACCESS, accesses);
    if (err >= 0)
        err = SetList(io, SND_PCM_IOPLUG_HW_FORMAT, formats);
    if (err >= 0)
        err =
            snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, o.channels, o.channels);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(
            io, SND_PCM_IOPLUG_HW_RATE, o.rate ? o.rate : kMinRate, o.rate ? o.rate : kMaxRate);
    if (err >= 0) {
        // Exact when a single frame size is possible (one format, or raw). With
        // two formats and no fixed period the byte range is the union, which
        // lets S16_LE reach past kMaxPeriod frames and S24_3LE below kMinPeriod.
        if (o.period_frames != 0)
            err = SetList(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, {o.period_frames * min_frame});
        else
            err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                                  kMinPeriod * min_frame, kMaxPeriod * max_frame);
    }
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, kMinPeriods,
                                              kMaxPeriods);
    return err;
}

int OpenIoplug(snd_pcm_t** pcmp, const char* name, snd_pcm_stream_t stream, int mode,
               const std::shared_ptr<Device>& dev, bool raw)
{
    auto* h = new IoplugHandle;
    h->dev = dev;
    h->raw = raw;
    snd_pcm_ioplug_t* io = &h->io;
    io->version = SND_PCM_IOPLUG_VERSION;
    io->name = "quillo simulated capture";
    io->callback = &kIoplugCallbacks;
    io->private_data = h;
    io->poll_fd = dev->poll_fd();
    io->poll_events = POLLIN;
    io->mmap_rw = 0;
    int err = snd_pcm_ioplug_create(io, name ? name : "quillosim", stream, mode);
    if (err < 0) {
        delete h;
        return err;
    }
    err = ApplyConstraints(io, dev->options(), raw);
    if (err < 0) {
        snd_pcm_ioplug_delete(io); // runs IoClose, which frees h
        return err;
    }
    *pcmp = io->pcm;
    return 0;
}

// ---------------------------------------------------------------------------
// Format layer (see the top of the file for why it exists).

struct ExtplugHandle {
    snd_pcm_extplug_t ext{};
    std::shared_ptr<Device> dev;
};

ExtplugHandle* HandleOf(const snd_pcm_extplug_t* ext)
{
    return static_cast<ExtplugHandle*>(ext->private_data);
}

snd_pcm_sframes_t ExtTransfer(snd_pcm_extplug_t* ext, const snd_pcm_channel_area_t* dst,
                              snd_pcm_uframes_t dst_offset, const snd_pcm_channel_area_t* src,
                              snd_pcm_uframes_t src_offset, snd_pcm_uframes_t size)
{
    for (snd_pcm_uframes_t i = 0; i < size; ++i) {
        for (unsigned c = 0; c < ext->channels; ++c) {
            StoreSample(SamplePtr(dst[c], dst_offset + i), ext->format,
                        LoadRawSample(SamplePtr(src[c], src_offset + i)));
        }
    }
    return static_cast<snd_pcm_sframes_t>(size);
}

int ExtClose(snd_pcm_extplug_t* ext)
{
    delete HandleOf(ext);
    return 0;
}

int ExtHwParams(snd_pcm_extplug_t* ext, snd_pcm_hw_params_t* params)
{
    snd_pcm_access_t access = SND_PCM_ACCESS_RW_INTERLEAVED;
    snd_pcm_hw_params_get_access(params, &access);
    HandleOf(ext)->dev->ClientHwParams(ext->format, access);
    return 0;
}

const snd_pcm_extplug_callback_t kExtplugCallbacks = [] {
    snd_pcm_extplug_callback_t c{};
    c.transfer = ExtTransfer;
    c.close = ExtClose;
    c.hw_params = ExtHwParams;
    return c;
}();

// Hands the device to the nested open of the raw slave; opens are
// synchronous, so a per-thread slot cannot be picked up by anyone else.
thread_local const std::shared_ptr<Device>* t_raw_slave_device = nullptr;

int OpenLayered(snd_pcm_t** pcmp, const char* name, snd_config_t* root, snd_config_t* conf,
                snd_pcm_stream_t stream, int mode, const std::shared_ptr<Device>& dev)
{
    // The slave is a PCM of our own type; reuse the type name the program's
    // configuration registered for this library.
    snd_config_t* type_node = nullptr;
    const char* type = nullptr;
    if (snd_config_search(conf, "type", &type_node) < 0 ||
        snd_config_get_string(type_node, &type) < 0)
        return -EINVAL;
    const std::string text = std::string("slave.pcm.type \"") + type + "\"\n";
    snd_config_t* top = nullptr;
    snd_input_t* in = nullptr;
    int err = snd_config_top(&top);
    if (err < 0)
        return err;
    err = snd_input_buffer_open(&in, text.c_str(), static_cast<ssize_t>(text.size()));
    if (err >= 0) {
        err = snd_config_load(top, in);
        snd_input_close(in);
    }
    snd_config_t* slave = nullptr;
    if (err >= 0)
        err = snd_config_search(top, "slave", &slave);
    if (err < 0) {
        snd_config_delete(top);
        return err;
    }

    auto* h = new ExtplugHandle;
    h->dev = dev;
    snd_pcm_extplug_t* ext = &h->ext;
    ext->version = SND_PCM_EXTPLUG_VERSION;
    ext->name = "quillo simulated capture";
    ext->callback = &kExtplugCallbacks;
    ext->private_data = h;
    t_raw_slave_device = &dev;
    err = snd_pcm_extplug_create(ext, name ? name : "quillosim", root, slave, stream, mode);
    t_raw_slave_device = nullptr;
    snd_config_delete(top);
    if (err < 0) {
        delete h;
        return err;
    }
    std::vector<unsigned> formats;
    for (snd_pcm_format_t f : dev->options().formats)
        formats.push_back(f);
    err = snd_pcm_extplug_set_param_list(ext, SND_PCM_EXTPLUG_HW_FORMAT,
                                         static_cast<unsigned>(formats.size()), formats.data());
    if (err >= 0)
        err = snd_pcm_extplug_set_param_minmax(ext, SND_PCM_EXTPLUG_HW_CHANNELS,
                                               dev->options().channels, dev->options().channels);
    if (err >= 0)
        err = snd_pcm_extplug_set_slave_param(ext, SND_PCM_EXTPLUG_HW_FORMAT, kRawFormat);
    if (err >= 0)
        err = snd_pcm_extplug_set_slave_param(ext, SND_PCM_EXTPLUG_HW_CHANNELS,
                                              dev->options().channels);
    if (err < 0) {
        snd_pcm_extplug_delete(ext); // runs ExtClose, which frees h
        return err;
    }
    *pcmp = ext->pcm;
    return 0;
}

int Open(snd_pcm_t** pcmp, const char* name, snd_config_t* root, snd_config_t* conf,
         snd_pcm_stream_t stream, int mode)
{
    if (t_raw_slave_device != nullptr) {
        const std::shared_ptr<Device> dev = *t_raw_slave_device;
        t_raw_slave_device = nullptr;
        return OpenIoplug(pcmp, name, stream, mode, dev, true);
    }
    if (stream != SND_PCM_STREAM_CAPTURE) {
        SNDERR("quillosim: the simulated device only captures");
        return -EINVAL;
    }
    Options options;
    int err = ParseOptions(conf, options);
    if (err < 0)
        return err;
    auto dev = std::make_shared<Device>(std::move(options));
    err = dev->Init();
    if (err < 0)
        return err;
    if (dev->options().NeedsFormatLayer())
        return OpenLayered(pcmp, name, root, conf, stream, mode, dev);
    return OpenIoplug(pcmp, name, stream, mode, dev, false);
}

} // namespace

extern "C" SND_PCM_PLUGIN_DEFINE_FUNC(quillosim)
{
    // alsa-lib is C: no exception may cross back into it.
    try {
        return Open(pcmp, name, root, conf, stream, mode);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (...) {
        return -EINVAL;
    }
}

extern "C" {
SND_PCM_PLUGIN_SYMBOL(quillosim)
}
