// The sound player module: the only code that uses Qt Multimedia. Programs load it at their
// first sound, so one that plays none never maps the audio libraries.
#include <QAudioDevice>
#include <QEventLoop>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>

#include "common/ui/soundmodule/soundplayer.h"

namespace {

// How often the caller's pump runs while a sound plays.
constexpr int PumpIntervalMs = 20;

} // namespace

extern "C" __attribute__((visibility("default"))) bool CorvexPlayWave(const char *path, int limitMs,
                                                                      const platform::TPump *pump)
{
    if (QMediaDevices::audioOutputs().isEmpty())
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
        if (pump && *pump && !(*pump)())
            loop.quit();
    });

    effect.setSource(QUrl::fromLocalFile(QString::fromUtf8(path)));
    if (effect.status() == QSoundEffect::Error)
        return false;
    playWhenReady();
    limit.start(limitMs);
    pumpTimer.start(PumpIntervalMs);
    loop.exec();

    // Without its signals the stop below cannot look like the end of the sound.
    QObject::disconnect(&effect, nullptr, &loop, nullptr);
    effect.stop();
    return true;
}
