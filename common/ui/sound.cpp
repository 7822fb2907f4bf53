#include "common/ui/sound.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace platform {

namespace {

// Beyond the sound's own length the wait allows this much for loading and device start-up.
constexpr int ExtraWaitMs = 3000;
// How often the caller's pump runs while a sound plays.
constexpr int PumpIntervalMs = 20;

uint32_t LittleEndian32(const unsigned char *bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t(bytes[3]) << 24);
}

} // namespace

int WaveFileLengthMs(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return -1;
    in.seekg(0, std::ios::end);
    const std::streamoff fileSize = in.tellg();
    in.seekg(0);

    unsigned char header[12];
    if (!in.read(reinterpret_cast<char *>(header), sizeof header) ||
        std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0)
        return -1;

    uint32_t byteRate = 0;
    unsigned char chunk[8];
    while (in.read(reinterpret_cast<char *>(chunk), sizeof chunk)) {
        const uint32_t size = LittleEndian32(chunk + 4);
        const std::streamoff start = in.tellg();
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char format[16];
            if (size < sizeof format || !in.read(reinterpret_cast<char *>(format), sizeof format))
                return -1;
            byteRate = LittleEndian32(format + 8);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (byteRate == 0)
                return -1;
            // A writer that never filled in the size leaves it too large: trust the file.
            const uint64_t available = uint64_t(fileSize - start);
            const uint64_t dataSize = std::min<uint64_t>(size, available);
            return int(std::min<uint64_t>(dataSize * 1000 / byteRate, INT32_MAX - ExtraWaitMs));
        }
        // Chunks are padded to an even length.
        in.seekg(start + std::streamoff(size) + (size & 1));
    }
    return -1;
}

bool PlayWaveFile(const std::string &path, const TPump &pump)
{
    if (path.empty() || !QCoreApplication::instance())
        return false;
    const int lengthMs = WaveFileLengthMs(path);
    if (lengthMs < 0 || QMediaDevices::audioOutputs().isEmpty())
        return false;

    QSoundEffect effect;
    QEventLoop loop;
    bool started = false;
    QObject::connect(&effect, &QSoundEffect::playingChanged, &loop, [&] {
        if (effect.isPlaying())
            started = true;
        else if (started)
            loop.quit();
    });
    // The sample loads in the background; play it once it is ready.
    bool requested = false;
    auto playWhenReady = [&] {
        if (!requested && effect.status() == QSoundEffect::Ready) {
            requested = true;
            effect.play();
        }
    };
    QObject::connect(&effect, &QSoundEffect::statusChanged, &loop, [&] {
        if (effect.status() == QSoundEffect::Error)
            loop.quit();
        else
            playWhenReady();
    });

    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer pumpTimer;
    QObject::connect(&pumpTimer, &QTimer::timeout, &loop, [&] {
        if (pump && !pump())
            loop.quit();
    });

    effect.setSource(QUrl::fromLocalFile(QString::fromStdString(path)));
    if (effect.status() == QSoundEffect::Error)
        return false;
    playWhenReady();
    limit.start(lengthMs + ExtraWaitMs);
    pumpTimer.start(PumpIntervalMs);
    loop.exec();

    // Without its signals the stop below cannot look like the end of the sound.
    QObject::disconnect(&effect, nullptr, &loop, nullptr);
    effect.stop();
    return true;
}

} // namespace platform
