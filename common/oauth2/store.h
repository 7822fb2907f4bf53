// "OAuth2.cfg" in the data root: the sign-in entries. A mailbox (or the outgoing server) signs
// in with OAuth2 when an entry exists for its user ID and server; its stored password stays
// empty. Each entry holds the provider, scopes and tokens and is sealed with the per-user key
// whatever the encryption switch says, since a refresh token is a bearer secret. The file is
// written atomically with mode 0600. A file that cannot be read or is damaged is set aside
// (kept under another name) and reported, never silently emptied. A file sealed with a key
// this account's key file does not open (a data folder copied from another account) is left
// as it is and not written over: it opens again once that key file is back.
#pragma once

#include <string>
#include <vector>

#include "common/oauth2/tokens.h"

namespace oauth2 {

enum class TPurpose { Mailbox, Outgoing };

struct TEntry
{
    TPurpose Purpose = TPurpose::Mailbox;
    std::string UserId; // with Server and Purpose, the key of the entry
    std::string Server; // the server field as the user wrote it
    std::string ProviderId;
    std::string Issuer;   // for IssuerProvider
    std::string ClientId; // typed for an issuer; empty for a preset (the build's is used)
    std::string Scopes;
    TTokens Tokens;           // no refresh token yet: a first sign-in is needed
    std::string SignInNeeded; // why the last refresh was refused; "" while signed in
    bool operator==(const TEntry &) const = default;
};

class TStore
{
public:
    enum class TLoad { Loaded, Missing, SetAside, Locked };
    explicit TStore(std::string dataRoot);

    // Reads the file. SetAside: it could not be read or is damaged; it was moved aside and
    // LoadError says where and why, and the store starts empty. Locked: it is sealed with
    // another key file; it stays as it is, LoadError says so, the store is empty and Save
    // refuses to write over the file.
    TLoad Load();
    std::string LoadError() const { return LoadError_; }
    bool Locked() const { return Locked_; }

    // Moves a locked file aside (SetAsideFileSuffix): its sign-ins are given up. keptAs gets
    // the name it was kept as, and LoadError tells the user either way; false when it could
    // not be moved.
    bool SetAsideLocked(std::string &keptAs);

    const std::vector<TEntry> &Entries() const { return Entries_; }
    const TEntry *Find(TPurpose purpose, const std::string &userId,
                       const std::string &server) const;
    void Put(const TEntry &entry); // adds or replaces the entry with the same key
    bool Remove(TPurpose purpose, const std::string &userId, const std::string &server);

    // Writes the file atomically (0600); false with error when it could not.
    bool Save(std::string &error) const;

    std::string Path() const;

private:
    std::string DataRoot;
    std::vector<TEntry> Entries_;
    std::string LoadError_;
    bool Locked_ = false;
};

} // namespace oauth2
