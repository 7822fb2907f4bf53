// Pelloway, the mailbox import: takes POP3 and IMAP accounts and the outgoing server over from
// the mail programs the user has installed. It reads no parameter; it finds the data root itself.
#include <QApplication>

#include "common/names.h"
#include "common/ui/companion.h"
#include "pelloway/emailsetupfrm.h"

int main(int argc, char **argv)
{
    QApplication::setApplicationName(ImportMailboxesTitle);
    return RunCompanion(argc, argv, {names::Pelloway, false, [](const TStringList &) {
                                         auto window = std::make_unique<TEmailSetupFrm>();
                                         window->show();
                                         window->activateWindow();
                                         return std::unique_ptr<QWidget>(std::move(window));
                                     }});
}
