// The sound player module: the only code that talks to libcanberra, the desktop's event sound
// library (PulseAudio, PipeWire or plain ALSA behind it). Programs load it at their first sound,
// so one that plays none never maps the audio libraries.
#include <QEventLoop>
#include <QTimer>
#include <canberra.h>
#include <cstdint>
#include <map>
#include <mutex>

#include "common/ui/soundmodule/soundplayer.h"

namespace {

// How often the caller's pump runs while a sound plays.
constexpr int PumpIntervalMs = 20;

// The waits under way by sound id. libcanberra calls the finish callback on a thread of its own
// when a sound ended, failed or was cancelled, possibly after the wait gave up at its limit (and
// in some drivers more than once): a sound no longer listed is ignored.
std::mutex WaitsLock;
std::map<uint32_t, QEventLoop *> Waits;

void SoundFinished(ca_context *, uint32_t id, int, void *)
{
    std::lock_guard<std::mutex> guard(WaitsLock);
    const auto found = Waits.find(id);
    if (found != Waits.end())
        QMetaObject::invokeMethod(found->second, &QEventLoop::quit, Qt::QueuedConnection);
}

// The process's context, kept while it plays: destroying a context unloads libcanberra's output
// driver, whose playback thread may still be running its last instructions then. A context that
// failed to start a sound is dropped, so the next sound finds a sound system started since.
ca_context *Context = nullptr;

ca_context *SoundContext()
{
    if (!Context && ca_context_create(&Context) == CA_SUCCESS)
        ca_context_change_props(Context, CA_PROP_APPLICATION_NAME, "Corvex", CA_PROP_APPLICATION_ID,
                                "org.corvex.Korrind", nullptr);
    return Context;
}

void DropContext()
{
    if (Context)
        ca_context_destroy(Context);
    Context = nullptr;
}

// Starts the file as sound id; false without a sound system or when it cannot play the file
// (the callback is not called then). Samples are not kept in the sound server's cache, as each
// alert file is played rarely.
bool StartSound(uint32_t id, const char *path)
{
    ca_context *context = SoundContext();
    if (!context)
        return false;
    ca_proplist *properties = nullptr;
    if (ca_proplist_create(&properties) != CA_SUCCESS)
        return false;
    ca_proplist_sets(properties, CA_PROP_MEDIA_FILENAME, path);
    ca_proplist_sets(properties, CA_PROP_MEDIA_ROLE, "event");
    ca_proplist_sets(properties, CA_PROP_CANBERRA_CACHE_CONTROL, "never");
    const int result = ca_context_play_full(context, id, properties, SoundFinished, nullptr);
    ca_proplist_destroy(properties);
    if (result != CA_SUCCESS)
        DropContext();
    return result == CA_SUCCESS;
}

} // namespace

extern "C" __attribute__((visibility("default"))) bool CorvexPlayWave(const char *path, int limitMs,
                                                                      const platform::TPump *pump)
{
    static uint32_t lastId = 0;
    const uint32_t id = ++lastId;
    QEventLoop loop;
    {
        std::lock_guard<std::mutex> guard(WaitsLock);
        Waits[id] = &loop;
    }
    // Unlisted before the loop goes, so a late finish call never reaches it.
    struct TUnlist
    {
        uint32_t Id;
        ~TUnlist()
        {
            std::lock_guard<std::mutex> guard(WaitsLock);
            Waits.erase(Id);
        }
    } unlist{id};
    if (!StartSound(id, path))
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

    // A sound still playing at the limit is stopped.
    if (Context)
        ca_context_cancel(Context, id);
    return true;
}
