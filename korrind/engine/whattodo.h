// What the monitor does after the user read the newest message of a mailbox: the new-mail
// decision prompt's boxes and answer, and the actions the answer asks for.
//
// The POP3 session is closed while the prompt and the rule editor wait. A save writes the
// bytes already read (the message is retrieved once). A deletion connects again, makes sure
// the message to delete is still the one read (by the server's unique id, or by Message-ID,
// size, sender and subject when the server has no ids) and counts only once the server
// confirmed the deletion at QUIT.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/stringlist.h"

class TMailSession;

// Bits of the prompt's answer, and its "Do nothing" box (never part of an answer).
enum TWhatToDoBit : unsigned {
    wdSave = 1,
    wdDelete = 2,
    wdDontShow = 4,
    wdAddPriority = 8,
    wdAddReject = 16,
    wdDoNothing = 32
};

// The boxes checked once box became checked: "Don't show" and "Do nothing" each stand alone,
// the other four combine freely.
unsigned BoxesAfterChecking(unsigned boxes, unsigned box);
// The answer of the checked boxes.
unsigned AnswerOfBoxes(unsigned boxes);

namespace whattodotext {
inline constexpr char SaveError[] = "Error Saving Message!";
inline constexpr char Deleted[] = "Message %d deleted";
inline constexpr char DeleteError[] = "Error:Deleting Message %d";
inline constexpr char ReadError[] = "Error:Reading Message %d";
} // namespace whattodotext

// The message the user read, as retrieved, with what identifies it on the server.
struct TReadMessage
{
    int Number = 0;  // 1 = oldest, when it was read
    std::string Uid; // the server's unique id ("" when it offers none)
    std::string MessageId;
    int64_t Size = 0;    // from the server's listing
    std::string From;    // decoded, from the message's own header
    std::string Subject; // decoded, from the message's own header
    std::string Date;    // normalised
    TStringList Lines;   // the whole message
};

// What the command needs from the program around it.
struct TWhatToDoHooks
{
    std::function<bool()> Connect;                     // opens the session to the message's mailbox
    std::function<unsigned(bool promptOff)> Ask;       // the decision prompt
    std::function<void(const std::string &path)> Open; // shows the read message to the user
    std::function<void(const std::string &text)> ShowError;
    std::function<void(const std::string &text)> ShowStatus;
};

// Connects, retrieves message n and the server's ids, and disconnects again. Nothing is
// deleted on the server, whatever the mailbox's own setting.
bool FetchReadMessage(TMailSession &mail, const TWhatToDoHooks &hooks, int n,
                      TReadMessage &message);

// Writes the message into folder under the usual ".eml" name; path gets the file written.
bool SaveReadMessage(const TReadMessage &message, const std::string &folder,
                     std::string *path = nullptr);

// Connects, finds the message read and deletes it. Answers the number it had then, or 0 when
// it is gone or could not be deleted; a number only once the server confirmed the deletion.
int DeleteReadMessage(TMailSession &mail, const TWhatToDoHooks &hooks, const TReadMessage &message);

// Carries out an answer of the prompt for the message of the mailbox with inboxFolder: rules
// from its sender and subject, the save, the deletion, and promptOff for "Don't show".
void CarryOutAnswer(TMailSession &mail, const TWhatToDoHooks &hooks, unsigned answer,
                    const TReadMessage &message, const std::string &inboxFolder, bool &promptOff);

// The whole "Read Last Message" after its checks: reads message n into the scratch message
// file, shows it, asks and carries out the answer. False when the message could not be read.
// The session is closed afterwards; checking the mailbox again is the caller's part.
bool ReadLastMessage(TMailSession &mail, const TWhatToDoHooks &hooks, int n,
                     const std::string &inboxFolder, bool &promptOff);
