// "Alerts.ini" and "IconMailbox.ini": the input carries the alert list, an alert name, a wave
// file path and a mailbox icon list (pieces separated by NUL bytes).
#include <cstdlib>

#include "common/names.h"
#include "common/stringlist.h"
#include "fuzzsupport.h"
#include "common/alerts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    const std::vector<std::string> pieces = fuzz::Pieces(data, size, 4);
    const std::string folder = fuzz::Folder("alerts");
    fuzz::WriteFile(AlertsFilePath(folder), pieces[0]);

    static const std::string sounds = fuzz::Folder("sounds");
    static const bool wave = (fuzz::WriteFile(sounds + "/Chime.wav", "RIFF"), true);
    (void)wave;
    LoadAlerts(folder, {sounds});
    const TStringList alerts = ReadAlerts(folder);
    for (int i = 0; i < alerts.Count() && i < 50; ++i)
        AlertFile(folder, alerts.Names(i));
    AlertFile(folder, pieces[1]);
    AlertNameOf(pieces[2]);
    AlertNameFor(folder, pieces[2]);

    const std::string icons = folder + "/" + names::IconMailboxFile;
    fuzz::WriteFile(icons, pieces[3]);
    TStringList mailboxes;
    if (!mailboxes.LoadFromFile(icons))
        std::abort();
    for (int i = 0; i < mailboxes.Count() && i < 50; ++i) {
        if (mailboxes.IndexOfName(mailboxes.Names(i)) > i)
            std::abort();
        mailboxes.Values(mailboxes.Names(i));
        mailboxes.ValueFromIndex(i);
    }
    return 0;
}
