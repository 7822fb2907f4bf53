#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "common/ui/sound.h"
#include "support/testenv.h"

namespace {

// A 16-bit mono PCM wave file of the given length at 8000 samples a second.
std::string WaveBytes(int milliseconds, bool fillInSize = true)
{
    auto u32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    auto u16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
    const uint32_t rate = 8000, dataSize = rate * 2 * uint32_t(milliseconds) / 1000;
    std::string bytes = "RIFF" + u32(36 + dataSize) + "WAVE";
    bytes += "LIST" + u32(3) + "abc" + std::string(1, '\0'); // odd chunk, padded
    bytes += "fmt " + u32(16) + u16(1) + u16(1) + u32(rate) + u32(rate * 2) + u16(2) + u16(16);
    bytes += "data" + u32(fillInSize ? dataSize : 0xFFFFFFFFu) + std::string(dataSize, '\0');
    return bytes;
}

class SoundTest : public ::testing::Test
{
protected:
    std::string Folder = testenv::MakeScratchDir("sound");

    std::string Write(const std::string &name, const std::string &bytes)
    {
        std::string path = Folder + "/" + name;
        testenv::WriteFile(path, bytes);
        return path;
    }
};

} // namespace

TEST_F(SoundTest, LengthComesFromTheWaveHeader)
{
    EXPECT_EQ(platform::WaveFileLengthMs(Write("a.wav", WaveBytes(250))), 250);
    // A size never filled in is limited to what the file holds.
    EXPECT_EQ(platform::WaveFileLengthMs(Write("b.wav", WaveBytes(100, false))), 100);
    EXPECT_EQ(platform::WaveFileLengthMs(Write("c.wav", "RIFF....WAVEjunk")), -1);
    EXPECT_EQ(platform::WaveFileLengthMs(Write("d.wav", "")), -1);
    EXPECT_EQ(platform::WaveFileLengthMs(Folder + "/missing.wav"), -1);
    std::string shipped = std::string(CORVEX_BIN_DIR) + "/Media/chime.wav";
    EXPECT_GT(platform::WaveFileLengthMs(shipped), 500);
}

TEST_F(SoundTest, MissingOrBrokenFilesReturnAtOnce)
{
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(platform::PlayWaveFile(""));
    EXPECT_FALSE(platform::PlayWaveFile(Folder + "/missing.wav"));
    EXPECT_FALSE(platform::PlayWaveFile(Write("text.wav", "not a sound at all")));
    EXPECT_LT(clock.elapsed(), 500);
}

// Without a sound card the player may claim to play for ever; the wait must still end.
TEST_F(SoundTest, PlayingEndsWithinTheSoundsLengthPlusTheLimit)
{
    std::string path = Write("short.wav", WaveBytes(200));
    int pumped = 0;
    QElapsedTimer clock;
    clock.start();
    platform::PlayWaveFile(path, [&] { return ++pumped > 0; });
    EXPECT_LT(clock.elapsed(), 200 + 3000 + 1000);
}

TEST_F(SoundTest, PumpAnsweringFalseEndsTheWait)
{
    std::string path = Write("long.wav", WaveBytes(8000));
    QElapsedTimer clock;
    clock.start();
    platform::PlayWaveFile(path, [] { return false; });
    EXPECT_LT(clock.elapsed(), 2000);
}

// With a sound device (ALSA's null device, which takes the samples as fast as they come) each
// alert sound is started, and the wait ends within the sound's length plus the limit.
TEST_F(SoundTest, WithADeviceTheAlertSoundsPlay)
{
    const std::string config = Write("asound.conf", "pcm.!default { type null }\n");
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    setenv("CANBERRA_DRIVER", "alsa", 1);
    for (const char *name : {"chime.wav", "ding.wav", "knock.wav", "priority.wav"}) {
        const std::string path = std::string(CORVEX_BIN_DIR) + "/Media/" + name;
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(platform::PlayWaveFile(path)) << name;
        EXPECT_LT(clock.elapsed(), platform::WaveFileLengthMs(path) + 3000 + 1000) << name;
    }
}

// The audio libraries stay out of a program until a sound is to be played: files that cannot
// be played never load them, the player does.
TEST_F(SoundTest, ThePlayerModuleLoadsOnlyForASound)
{
    auto audioMapped = [] {
        return testenv::ReadFile("/proc/self/maps").find("libcanberra") != std::string::npos;
    };
    EXPECT_FALSE(platform::PlayWaveFile(Folder + "/missing.wav"));
    EXPECT_FALSE(audioMapped());
    EXPECT_TRUE(platform::SoundPlayerAvailable());
    EXPECT_TRUE(audioMapped());
}
