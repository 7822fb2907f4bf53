#include "common/platform/opener.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace platform {

namespace {

// The desktop's handler: xdg-open, started as an independent process.
class TDesktopOpener : public TOpener
{
public:
    bool Open(const std::string &target) override
    {
        if (target.empty())
            return false;
        return QProcess::startDetached("xdg-open", QStringList{QString::fromStdString(target)});
    }
};

TDesktopOpener DesktopOpener;
TOpener *Current = nullptr;

} // namespace

TOpener &Opener()
{
    return Current ? *Current : DesktopOpener;
}

void SetOpener(TOpener *opener)
{
    Current = opener;
}

} // namespace platform
