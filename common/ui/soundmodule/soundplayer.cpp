// The sound player module: the only code that talks to libcanberra, the desktop's event sound
// library (PulseAudio, PipeWire or plain ALSA behind it). Programs load it at their first sound,
// so one that plays none never maps the audio libraries.
#include <QEventLoop>
#include <QTimer>
#include <canberra.h>
#include <cstdint>

#include "common/ui/soundmodule/soundplayer.h"

namespace {

// How often the caller's pump runs while a sound plays.
constexpr int PumpIntervalMs = 20;

// The id of the one sound a context plays.
constexpr uint32_t SoundId = 1;

// Called by libcanberra on its own thread when the sound has ended, failed or was cancelled:
// ends the wait through the waiting thread's event queue.
void SoundFinished(ca_context *, uint32_t, int, void *waiting)
{
    QMetaObject::invokeMethod(static_cast<QEventLoop *>(waiting), &QEventLoop::quit,
                              Qt::QueuedConnection);
}

// A context that plays one file: libcanberra finds the sound system itself; samples are not
// kept in the sound server's cache, as each alert file is played rarely.
class TSoundContext
{
public:
    TSoundContext()
    {
        if (ca_context_create(&Context) != CA_SUCCESS)
            Context = nullptr;
        else
            ca_context_change_props(Context, CA_PROP_APPLICATION_NAME, "Corvex",
                                    CA_PROP_APPLICATION_ID, "org.corvex.Korrind", nullptr);
    }
    ~TSoundContext()
    {
        // Cancels a sound still playing and waits for its finish call, so nothing calls back
        // into the caller's objects afterwards.
        if (Context)
            ca_context_destroy(Context);
    }
    TSoundContext(const TSoundContext &) = delete;
    TSoundContext &operator=(const TSoundContext &) = delete;

    // Starts the file; false without a sound system or when it cannot play the file.
    bool Start(const char *path, QEventLoop &waiting)
    {
        if (!Context)
            return false;
        ca_proplist *properties = nullptr;
        if (ca_proplist_create(&properties) != CA_SUCCESS)
            return false;
        ca_proplist_sets(properties, CA_PROP_MEDIA_FILENAME, path);
        ca_proplist_sets(properties, CA_PROP_MEDIA_ROLE, "event");
        ca_proplist_sets(properties, CA_PROP_CANBERRA_CACHE_CONTROL, "never");
        const int result =
            ca_context_play_full(Context, SoundId, properties, SoundFinished, &waiting);
        ca_proplist_destroy(properties);
        return result == CA_SUCCESS;
    }

private:
    ca_context *Context = nullptr;
};

} // namespace

extern "C" __attribute__((visibility("default"))) bool CorvexPlayWave(const char *path, int limitMs,
                                                                      const platform::TPump *pump)
{
    // The loop outlives the context: a finish call during its destruction still finds it.
    QEventLoop loop;
    TSoundContext sound;
    if (!sound.Start(path, loop))
        return false;

    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer pumpTimer;
    QObject::connect(&pumpTimer, &QTimer::timeout, &loop, [&] {
        if (pump && *pump && !(*pump)())
            loop.quit();
    });
    limit.start(limitMs);
    pumpTimer.start(PumpIntervalMs);
    loop.exec();
    return true;
}
