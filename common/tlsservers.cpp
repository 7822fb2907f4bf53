#include "common/tlsservers.h"

#include "common/globals.h"
#include "common/names.h"
#include "common/stringlist.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

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

// The list as stored; false when a list exists but cannot be read (it is then never replaced).
bool LoadList(const std::string &path, TStringList &list)
{
    if (!TUtils::FileExists(path) || list.LoadFromFile(path))
        return true;
    Log("Can't read the list of servers known to speak TLS: " + path);
    return false;
}

} // namespace

bool KnownTlsServer(const char *protocol, const std::string &host, int port)
{
    const std::string path = ListPath();
    TStringList list;
    return !path.empty() && LoadList(path, list) && list.IndexOf(Entry(protocol, host, port)) >= 0;
}

bool RememberTlsServer(const char *protocol, const std::string &host, int port)
{
    const std::string path = ListPath();
    TStringList list;
    if (path.empty() || !LoadList(path, list))
        return false;
    const std::string entry = Entry(protocol, host, port);
    if (list.IndexOf(entry) >= 0)
        return true;
    list.Add(entry);
    if (list.SaveToFile(path))
        return true;
    Log("Can't write the list of servers known to speak TLS: " + path);
    return false;
}
