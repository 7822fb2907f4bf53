// Fennick, the alias manager: edits the alias list of the mailbox whose inbox folder is the
// first line of its parameter file.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <memory>

#include "common/names.h"
#include "common/ui/companion.h"
#include "fennick/aliasfrm.h"

namespace {

constexpr char StartedAloneText[] =
    "The alias manager edits the alias list of one mailbox and is started by the Corvex monitor: "
    "open the mailbox in the monitor's mailbox editor and click Alias.";

// Started from a terminal or a file manager without the monitor's parameter file there is no
// mailbox to work on: say so on the error output and, on a desktop, in a message box.
void TellWhyItCannotStartAlone()
{
    std::fprintf(stderr, "%s: %s\n", names::Fennick, StartedAloneText);
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QMessageBox::information(nullptr, QApplication::applicationName(), StartedAloneText);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication::setApplicationName("Corvex Alias Manager");
    return RunCompanion(
        argc, argv,
        {names::Fennick, false, [](const TStringList &parameters) -> std::unique_ptr<QWidget> {
             const std::string inboxFolder = FirstParameter(parameters);
             if (inboxFolder.empty()) {
                 TellWhyItCannotStartAlone();
                 return nullptr;
             }
             auto window = std::make_unique<TAliasFrm>();
             if (!window->Activate(inboxFolder))
                 return nullptr;
             window->show();
             return window;
         }});
}
