// Strenna, the saved message manager: lists, filters, searches, forwards and deletes the
// ".eml" files saved for a mailbox. The parameter file names the mailbox's inbox folder (first
// line, required) and the mailbox address (second line).
#include "common/names.h"
#include "common/platform/folders.h"
#include "common/plugins.h"
#include "common/ui/companion.h"
#include "strenna/browserfrm.h"

int main(int argc, char **argv)
{
    return RunCompanion(argc, argv, {names::Strenna, true, [](const TStringList &parameters) {
                                         auto window = std::make_unique<TInboxFrm>(parameters);
                                         window->WatchParameterFile(
                                             ParameterFileFor(platform::ExecutablePath()));
                                         window->show();
                                         window->ActivateOnce();
                                         return std::unique_ptr<QWidget>(std::move(window));
                                     }});
}
