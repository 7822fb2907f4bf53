// The send-to of the saved message manager apart from any window: forwards one saved message
// to an address, with note lines above its text and its stored header taken off, and keeps the
// small address book ("AddressBook.ini" in the data root).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/filterparam.h"
#include "common/records.h"
#include "common/smtpinterface.h"

namespace sendtotext {
inline constexpr char Caption[] = "Send To";
inline constexpr char Heading[] = "Forward Message";
inline constexpr char CannotRead[] = "Can't read %s";
inline constexpr char Sent[] = "Message sent to %s";
} // namespace sendtotext

class TSendTo
{
public:
    explicit TSendTo(const std::string &addressBookFile);

    // Takes the message and the sending mailbox and reads the address book.
    void Open(const std::string &file, const std::string &account);
    // Forwards ForwardFile to the recipients (one per line of to). False with Problem set when
    // the message cannot be read or the server did not take it.
    bool Send(const std::string &to, const std::string &subject,
              const std::vector<std::string> &noteLines, const TConfigRecord &settings);
    // Adds the address to the address book unless it is there in any capitals, and saves it.
    bool RememberAddress(const std::string &address);

    std::string ForwardFile, ForwardAccount;
    THistoryList AddressBook;
    TSMTPFunc Sender;
    std::string Problem; // why the last send failed, in words, with the server's refusals
    // Receives each line the sender reports (failures and refused recipients).
    std::function<void(const std::string &text)> Display;

private:
    uint16_t ReportLevel = 2; // failures and refused recipients reach the display
    std::vector<std::string> Reported;
};
