// The mailbox import's logic, apart from its window: finds the POP3 and IMAP accounts and
// outgoing servers the installed mail programs know, and takes the chosen ones over into the
// monitor's mailbox list and settings.
#pragma once

#include <string>
#include <vector>

#include "pelloway/mailsources.h"

// One entry of the mailbox or outgoing-server list.
struct TImportEntry
{
    TFoundAccount Account;
    std::string Server;  // as it will be stored (port and TLS mode kept)
    std::string Refusal; // why it cannot be taken over; "" when it can
    bool Outgoing = false;

    bool Importable() const { return Refusal.empty(); }
    // Mailboxes: user "@" server; outgoing servers: the server. A refused entry adds its reason.
    std::string Caption() const;
};

struct TImportResult
{
    bool Ok = true;       // false: nothing was written (Error says why)
    std::string Error;    // the failure shown to the user
    int Added = 0;        // mailboxes appended
    int AlreadyThere = 0; // ticked mailboxes the list already had (same user and server)
    int Refused = 0;      // ticked entries that could not be taken over
    bool SmtpWritten = false;
};

class TMailImport
{
public:
    std::string DefaultHandler;            // desktop id of the default mail program
    std::vector<std::string> MailHandlers; // desktop ids of the installed mail programs
    std::vector<TImportEntry> Mailboxes;
    std::vector<TImportEntry> SmtpServers;

    // Reads every source that is present: the installed mail programs, Outlook Express
    // accounts and Eudora's account (the mail-client registry), Thunderbird, Evolution, KMail.
    // Entries already listed are not added again. home and configHome default to the user's.
    void Scan(const std::string &home = "", const std::string &configHome = "");
    void AddMailbox(const TFoundAccount &account);
    void AddSmtpServer(const TFoundAccount &account);

    // The outgoing server to offer ticked: among those that can be taken over, the default one
    // of the desktop's default mail program, else a program's default one, else the first;
    // -1 when there is none.
    int DefaultSmtpIndex() const;

    // Appends the importable mailboxes among the ticked ones (indexes into Mailboxes) to the
    // mailbox list, through the data store and encrypted as the settings say, each with its own
    // inbox folder; mailboxes the list has are left alone. Then the outgoing server smtpIndex
    // (-1: none) goes into the settings. Needs the program's Utils and Globals.
    TImportResult Import(const std::vector<int> &ticked, int smtpIndex);

private:
    void ScanMailClientRegistry();
};

// A folder name made from a user name (and server): no "/", control characters, "." or "..".
std::string SafeFolderName(const std::string &name);
