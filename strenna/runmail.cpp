#include "strenna/runmail.h"

#include <QMenu>
#include <algorithm>

#include "common/globals.h"
#include "common/records.h"
#include "common/ui/captionpanel.h"
#include "common/utils.h"

namespace {
constexpr int MinRunMailWidth = 85;
constexpr int PixelsPerCaptionChar = 9;
constexpr char RunMailCaption[] = "Run Mail";
} // namespace

int ShowDefaultMailer(TCaptionPanel *runMail)
{
    std::string mailer = Globals ? GetText(Globals->Config.DefaultMailerName) : std::string();
    if (mailer.empty() && Globals) // none chosen in the monitor: the desktop's default
        mailer = Globals->DefaultMailer;
    if (mailer.empty())
        mailer = RunMailCaption;
    runMail->SetCaption(mailer);
    const int width =
        std::max(MinRunMailWidth, int(mailer.size()) * PixelsPerCaptionChar + DropPartWidth);
    runMail->setMinimumWidth(width - DropPartWidth);
    return width;
}

void FillMailerMenu(QMenu *menu, const std::function<void(const std::string &name)> &open)
{
    menu->clear();
    for (int i = 0; Globals && i < Globals->MailerList.Count(); ++i) {
        const std::string name = Globals->MailerList.Names(i);
        QObject::connect(menu->addAction(QString::fromStdString(name).replace("&", "&&")),
                         &QAction::triggered, menu, [open, name] { open(name); });
    }
}

void OpenMessageWith(const std::string &mailerName, const std::string &messageFile)
{
    if (Globals && !Globals->RunMailProgram(mailerName, messageFile) && Utils)
        Utils->DebugLog("Could not open %s with %s", messageFile.c_str(), mailerName.c_str());
}
