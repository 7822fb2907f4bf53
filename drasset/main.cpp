// Drasset, the rules synchronisation tool: brings this machine's list files into line with
// another installation's on a network share.
#include <QGuiApplication>

#include "common/names.h"
#include "common/ui/companion.h"
#include "drasset/syncrulesmain.h"

int main(int argc, char **argv)
{
    QGuiApplication::setApplicationName(SyncRulesTitle);
    return RunCompanion(argc, argv, {names::Drasset, true, [](const TStringList &parameters) {
                                         auto window = std::make_unique<TSyncRulesFrm>();
                                         window->show();
                                         if (!window->Activate(parameters))
                                             return std::unique_ptr<QWidget>();
                                         return std::unique_ptr<QWidget>(std::move(window));
                                     }});
}
