// What context help answers, and where the guide answers it.
//
// A control carries a help context number and a window (or a page of one) a keyword. Both come
// only from the two tables below, and the HTML guide ("index.html" beside the help file) has one
// section for each: anchored "help-N" for the number N, and by the keyword itself for a window.
// So the check that the guide answers every topic reads these tables alone.
#pragma once

#include <string>

namespace help {

// Help context numbers: X(name, number). One number may serve several controls.
#define CORVEX_HELP_CONTEXTS(X)                                                                    \
    X(HelpButton, 9) /* Help of the saved message manager, Drasset and Pelloway */                 \
    X(InboxRules, 45)                                                                              \
    X(SendToHelp, 57)                                                                              \
    X(InboxBrowseDrop, 92)                                                                         \
    X(InboxBrowse, 93)                                                                             \
    X(InboxRunMailDrop, 94)                                                                        \
    X(InboxRunMail, 95)                                                                            \
    X(InboxDeleteDrop, 96)                                                                         \
    X(InboxDelete, 97)                                                                             \
    X(InboxRefresh, 98) /* Refresh and Search share it */                                          \
    X(InboxList, 99)                                                                               \
    X(InboxClose, 100)                                                                             \
    X(ImportDefaultHandler, 115)                                                                   \
    X(ImportMailClients, 116)                                                                      \
    X(ImportMailboxes, 117)                                                                        \
    X(Import, 118)                                                                                 \
    X(ImportClose, 119)                                                                            \
    X(SyncHeading, 126)                                                                            \
    X(SyncReplaceDestination, 127)                                                                 \
    X(SyncReplaceLocal, 128)                                                                       \
    X(SyncCombine, 129)                                                                            \
    X(SyncContinue, 130)                                                                           \
    X(SyncCancel, 132)                                                                             \
    X(SendToCancel, 142)                                                                           \
    X(ImportSmtpServers, 154)                                                                      \
    X(InboxFilterType, 161)                                                                        \
    X(InboxFilterText, 162)                                                                        \
    X(InboxForward, 163)                                                                           \
    X(SendToTo, 164)                                                                               \
    X(SendToSubject, 165)                                                                          \
    X(SendToNote, 166)                                                                             \
    X(SendToSend, 167)                                                                             \
    X(SignInChoice, 168)                                                                           \
    X(SignInProvider, 169)                                                                         \
    X(SignInButton, 170)

// Keywords of windows and pages: X(name, keyword).
#define CORVEX_HELP_WINDOWS(X)                                                                     \
    X(MonitorWindow, "monitor")                                                                    \
    X(SummaryPage, "summary")                                                                      \
    X(MailboxesPage, "mailboxes")                                                                  \
    X(OperationPage, "operation")                                                                  \
    X(PreferencesPage, "preferences")                                                              \
    X(MailList, "mail-list")                                                                       \
    X(MailboxEditor, "mailbox-editor")                                                             \
    X(OutgoingServer, "outgoing-server")                                                           \
    X(ProxyServer, "proxy")                                                                        \
    X(NewMailPrompt, "new-mail-prompt")                                                            \
    X(Password, "password")                                                                        \
    X(RuleEditor, "rule-editor")                                                                   \
    X(RulesManager, "velmot")                                                                      \
    X(SavedMessages, "strenna")                                                                    \
    X(MailSearch, "mail-search")                                                                   \
    X(SendTo, "send-to")                                                                           \
    X(RulesSync, "drasset")                                                                        \
    X(MailboxImport, "pelloway")                                                                   \
    X(AliasManager, "fennick")

#define CORVEX_HELP_CONTEXT_VALUE(name, number) name = number,
#define CORVEX_HELP_LIST_ENTRY(name, value) name,
#define CORVEX_HELP_KEYWORD(name, keyword) inline constexpr char name[] = keyword;

// The number a control carries; a control gets one only from this list.
enum TContext : int { CORVEX_HELP_CONTEXTS(CORVEX_HELP_CONTEXT_VALUE) };
inline constexpr TContext Contexts[] = {CORVEX_HELP_CONTEXTS(CORVEX_HELP_LIST_ENTRY)};

CORVEX_HELP_WINDOWS(CORVEX_HELP_KEYWORD)
inline constexpr const char *Windows[] = {CORVEX_HELP_WINDOWS(CORVEX_HELP_LIST_ENTRY)};

#undef CORVEX_HELP_CONTEXT_VALUE
#undef CORVEX_HELP_LIST_ENTRY
#undef CORVEX_HELP_KEYWORD

// Whether a number is one the help engine answers: 0 means "none", and above 1024 is refused.
constexpr bool Answered(int context)
{
    return context >= 1 && context <= 1024;
}

// The anchor of the guide's section for a topic: "help-N" for an answered number, else the
// keyword ("" when there is neither: the guide's beginning).
std::string GuideAnchor(int context, const std::string &keyword);

} // namespace help
