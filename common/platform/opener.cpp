#include "common/platform/opener.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/folders.h"

namespace platform {

namespace {

// xdg-open hands a browser a local page as a bare path, dropping the section ("#...") of its
// URL. Such a URL is opened through a small page in the runtime folder that forwards the browser
// to it; anything else is opened as it is.
std::string KeepingTheSection(const std::string &target)
{
    const QUrl url(QString::fromStdString(target));
    if (!url.isLocalFile() || !url.hasFragment())
        return target;
    const std::string link = QString::fromStdString(target).toHtmlEscaped().toStdString();
    const std::string page = "<!DOCTYPE html>\n<meta charset=\"utf-8\">\n" +
                             ("<meta http-equiv=\"refresh\" content=\"0; url=" + link + "\">\n") +
                             ("<a href=\"" + link + "\">" + link + "</a>\n");
    const std::string path = RuntimeFolder() + "/" + names::GuideForwardFile;
    return WriteFileAtomic(path, page) ? path : target;
}

// The desktop's handler: xdg-open, started as an independent process.
class TDesktopOpener : public TOpener
{
public:
    bool Open(const std::string &target) override
    {
        if (target.empty())
            return false;
        return QProcess::startDetached(
            "xdg-open", QStringList{QString::fromStdString(KeepingTheSection(target))});
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
