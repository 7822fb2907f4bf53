// Strenna, the saved message manager: lists, filters, searches, forwards and deletes the
// ".eml" files saved for a mailbox. The parameter file names the mailbox's inbox folder (first
// line) and the mailbox address (second line); started without one, it shows the first
// mailbox's saved messages and offers the others in its mailbox menu.
#include "common/names.h"
#include "common/platform/folders.h"
#include "common/plugins.h"
#include "common/ui/companion.h"
#include "strenna/browserfrm.h"

int main(int argc, char **argv)
{
    return RunCompanion(argc, argv, {names::Strenna, false, [](const TStringList &parameters) {
                                         auto window = std::make_unique<TInboxFrm>(parameters);
                                         window->WatchParameterFile(
                                             ParameterFileFor(platform::ExecutablePath()));
                                         window->show();
                                         window->ActivateOnce();
                                         return std::unique_ptr<QWidget>(std::move(window));
                                     }});
}
