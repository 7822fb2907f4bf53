// Fennick, the alias manager: edits the alias list of the mailbox whose inbox folder is the
// first line of its parameter file.
#include <QApplication>
#include <memory>

#include "common/cmdline.h"
#include "common/names.h"
#include "common/ui/companion.h"
#include "fennick/aliasfrm.h"

int main(int argc, char **argv)
{
    AnswerInformationOptions(argc, argv);
    QApplication::setApplicationName("Corvex Alias Manager");
    return RunCompanion(
        argc, argv,
        {names::Fennick, true, [](const TStringList &parameters) -> std::unique_ptr<QWidget> {
             auto window = std::make_unique<TAliasFrm>();
             if (!window->Activate(FirstParameter(parameters)))
                 return nullptr;
             window->show();
             return window;
         }});
}
