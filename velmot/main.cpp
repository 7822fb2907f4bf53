// Velmot, the rules manager: edits one priority or rejection list file as a table.
#include <QGuiApplication>

#include "common/names.h"
#include "common/ui/companion.h"
#include "velmot/filteringfrm.h"

int main(int argc, char **argv)
{
    QGuiApplication::setApplicationName(RulesManagerTitle);
    return RunCompanion(argc, argv, {names::Velmot, true, [](const TStringList &parameters) {
                                         auto window = std::make_unique<TFilteringFrm>(
                                             FirstParameter(parameters));
                                         window->show();
                                         if (!window->Activate())
                                             return std::unique_ptr<QWidget>();
                                         return std::unique_ptr<QWidget>(std::move(window));
                                     }});
}
