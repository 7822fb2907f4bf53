#include "common/ui/sound.h"

#include <QCoreApplication>
#include <QLibrary>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "common/platform/folders.h"
#include "common/ui/soundmodule/soundplayer.h"

namespace platform {

namespace {

// Beyond the sound's own length the wait allows this much for loading and device start-up.
constexpr int ExtraWaitMs = 3000;

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

namespace {

// The player, loaded beside the program at the first call and kept loaded; null when the
// module is missing or broken (logged once).
TCorvexPlayWave Player()
{
    static TCorvexPlayWave player = [] {
        const QString path =
            QString::fromStdString(ExecutableFolder()) + QStringLiteral(CORVEX_SOUND_MODULE);
        QLibrary module(path);
        auto found = reinterpret_cast<TCorvexPlayWave>(module.resolve(CORVEX_PLAY_WAVE_SYMBOL));
        if (!found)
            qWarning("sounds are off: %s", qPrintable(module.errorString()));
        return found;
    }();
    return player;
}

} // namespace

bool SoundPlayerAvailable()
{
    return QCoreApplication::instance() && Player();
}

bool PlayWaveFile(const std::string &path, const TPump &pump)
{
    if (path.empty() || !QCoreApplication::instance())
        return false;
    const int lengthMs = WaveFileLengthMs(path);
    if (lengthMs < 0)
        return false;
    TCorvexPlayWave player = Player();
    return player && player(path.c_str(), lengthMs + ExtraWaitMs, &pump);
}

} // namespace platform
