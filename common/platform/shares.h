// Network shares, reached where the desktop mounted them: inside a GVFS mount
// ($XDG_RUNTIME_DIR/gvfs/<share>) or in a kernel or FUSE mount of a network file system
// (cifs, smb3, nfs, nfs4, fuse.sshfs). Typed locations (smb://[domain;][user@]host[:port]/share/…,
// //host/share/… and \\host\share\…) are resolved to their mounted folders.
#pragma once

#include <string>

namespace platform {

// A typed network location split into its parts; Rest is the path below the share ("" or
// "a/b", without leading or trailing "/"). User and Domain are the logon the location names.
struct TNetworkLocation
{
    std::string Domain, User, Host, Port, Share, Rest;
    std::string Uri() const; // smb://[domain;][user@]host[:port]/share
};

// True when typed is smb://[domain;][user@]host[:port]/share[/rest], //host/share[/rest] or
// \\host\share[\rest].
bool ParseNetworkLocation(const std::string &typed, TNetworkLocation &location);

// The local folder of a typed location when its share is mounted, "" when it is not. A mount
// for the location's user is preferred; any mount of the share will do.
std::string MountedFolderOf(const TNetworkLocation &location);

// Mounts the location's share through GVFS ("gio mount") as the location's user, answering
// the logon prompts with the location's domain and password. An empty password is a guest
// logon (an anonymous mount). False with the reason in error when it could not be mounted.
bool MountShare(const TNetworkLocation &location, const std::string &password, std::string &error);

// True when folder lies on a network share; root is then the share's top folder.
bool ShareRootOf(const std::string &folder, std::string &root);

// Writes bytes to path on a share whole or not at all (a temporary file in the same folder
// renamed over it, removed when the write fails). The file keeps the mode it had where the
// share lets it be set; nothing depends on changing modes, which GVFS refuses. A successful
// write also removes temporary files of path that failed writes left behind long before.
// False with the reason in error.
bool WriteFileOnShare(const std::string &path, const std::string &bytes, std::string &error);

} // namespace platform
