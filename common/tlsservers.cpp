#include "common/tlsservers.h"

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/files.h"
#include "common/stringlist.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

std::function<void(const std::string &)> &UnwritableHandler()
{
    static std::function<void(const std::string &)> handler;
    return handler;
}

std::string ListPath()
{
    if (!Globals || Globals->DataRoot.empty())
        return "";
    return TUtils::AddBackslash(Globals->DataRoot) + names::TlsServersFile;
}

std::string Entry(const char *protocol, const std::string &host, int port)
{
    const std::string name = LowerCase(host);
    const bool ipv6 = name.find(':') != std::string::npos;
    return Format("%s://%s:%d", protocol, (ipv6 ? "[" + name + "]" : name).c_str(), port);
}

void Log(const std::string &text)
{
    if (Utils)
        Utils->DebugLog("%s", text.c_str());
}

enum class TListState { None, Read, Unreadable };

// The list as stored. A list that is not there is empty; one that is there but cannot be read
// (no access, a folder in its place) is never replaced.
TListState LoadList(const std::string &path, TStringList &list)
{
    if (path.empty())
        return TListState::None;
    if (platform::MissingFromItsFolder(path) || !TUtils::FolderExists(Globals->DataRoot))
        return TListState::Read;
    return list.LoadFromFile(path) ? TListState::Read : TListState::Unreadable;
}

std::string UnreadableText(const std::string &path)
{
    return "the list of servers known to speak TLS cannot be read (" + path +
           "): every server counts as one that speaks TLS until it can";
}

void TellUnwritable(const std::string &text)
{
    Log(text);
    if (Globals->TlsListUnwritableTold)
        return;
    Globals->TlsListUnwritableTold = true;
    if (UnwritableHandler())
        UnwritableHandler()(text);
}

} // namespace

bool KnownTlsServer(const char *protocol, const std::string &host, int port)
{
    const std::string entry = Entry(protocol, host, port);
    if (Globals && Globals->TlsServersLearnt.count(entry) > 0)
        return true;
    const std::string path = ListPath();
    TStringList list;
    switch (LoadList(path, list)) {
    case TListState::None:
        return false;
    case TListState::Read:
        return list.IndexOf(entry) >= 0;
    case TListState::Unreadable:
        Log("Can't read " + path + ": " + UnreadableText(path));
        return true;
    }
    return true;
}

std::string TlsListProblem()
{
    const std::string path = ListPath();
    TStringList list;
    return LoadList(path, list) == TListState::Unreadable ? UnreadableText(path) : std::string();
}

bool RememberTlsServer(const char *protocol, const std::string &host, int port)
{
    if (!Globals)
        return false;
    const std::string entry = Entry(protocol, host, port);
    Globals->TlsServersLearnt.insert(entry);
    const std::string path = ListPath();
    TStringList list;
    const TListState state = LoadList(path, list);
    if (state == TListState::None)
        return false;
    if (state == TListState::Read && list.IndexOf(entry) >= 0)
        return true;
    if (state == TListState::Read) {
        list.Add(entry);
        if (list.SaveToFile(path)) {
            Globals->TlsListUnwritableTold = false;
            return true;
        }
    }
    TellUnwritable("Can't write the list of servers known to speak TLS (" + path + "): " + host +
                   " is remembered as one that speaks TLS only until Corvex ends");
    return false;
}

void SetTlsListUnwritableHandler(std::function<void(const std::string &text)> handler)
{
    UnwritableHandler() = std::move(handler);
}
