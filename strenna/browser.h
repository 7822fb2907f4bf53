// The saved message manager's logic apart from any window: the ".eml" files of a mailbox
// folder as rows (sender, subject, arrival date, size, attachments, content type, file name),
// the filters, the mailbox choice, sorting and deletion.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/listrows.h"
#include "common/stringlist.h"

// Cells of a message row; the caption is the sender.
enum TMessageCell : std::size_t {
    mcSubject = 0,
    mcArrivalDate = 1,
    mcSize = 2,
    mcAttachments = 3,
    mcContentType = 4,
    mcFileName = 5,
    mcDateKey = 6,  // hidden: year, month, day and time, sortable as text
    mcFullPath = 7, // hidden: the folder and file name the row was read from
    MessageCellCount = 8
};

inline constexpr const char *MessageColumns[] = {"From",        "Subject", "Arrival Date", "Size",
                                                 "Attachments", "C",       "File Name"};
inline constexpr int ArrivalDateColumn = 2;
inline constexpr int SizeColumn = 3;

// Texts the browser shows.
namespace browsertext {
inline constexpr char NotFound[] = "NA";
inline constexpr char Caption[] = "Saved Messages For: %s";
inline constexpr char MessageCount[] = "%d Messages";
inline constexpr char Deleted[] = "%s Deleted!";
inline constexpr char ConfirmDeleteOne[] =
    "\nYou are about to delete:\n\n %s\n\n Press OK to continue?\n";
inline constexpr char ConfirmDeleteMany[] =
    "\nYou are about to delete %d messages\n\n Press OK to continue?\n";
inline constexpr char WarningTitle[] = "Warning";
inline constexpr char RejectedItem[] = "Rejected";
inline constexpr char RejectedName[] = "Rejected Mail";
inline constexpr char AppTitle[] = "Saved Message Manager (Inbox)";
inline constexpr char MessageExt[] = ".eml";
} // namespace browsertext

// A message file found in a folder, with its size from the listing.
struct TMessageFile
{
    std::string Name;
    int64_t Size = 0;
};

// The message files of a folder: regular files whose extension is exactly ".eml" (so neither
// "a.EML" nor "a.emlx") and that are not empty, sorted by name. One directory read; the sizes
// come from it.
std::vector<TMessageFile> ListMessageFiles(const std::string &folder);

// A read buffer reused from file to file: it only grows, so bytes are never cleared twice.
struct TFileBuffer
{
    std::string Bytes; // storage; only the first Size bytes belong to the file
    size_t Size = 0;
    std::string_view View() const { return std::string_view(Bytes.data(), Size); }
};

// The whole file into buffer; false when it cannot be read.
bool ReadFileInto(const std::string &path, TFileBuffer &buffer);

// What the browser and the search show of a message, read from its header block (unfolded,
// encoded words decoded) and, for attachments, from its MIME part headers.
struct TMessageFacts
{
    std::string From = browsertext::NotFound;
    std::string Subject = browsertext::NotFound;
    std::string RawDate = browsertext::NotFound; // the "Date:" value as written
    std::string ContentType = browsertext::NotFound;
    std::vector<std::string> Attachments; // file names in the order found
};
TMessageFacts ReadMessageFacts(std::string_view raw, bool withAttachments = true);

// The sortable key of a normalised date ("mm.dd.yyyy hh.nn.ss zone"): year, month, day, time.
std::string DateSortKey(const std::string &normalizedDate);

// The name of a mailbox from its inbox folder: the folder's last component, cut at its last dot.
std::string MailboxNameOf(const std::string &folder);

// Sorted values without duplicates (ignoring case), offered by the filter text box.
struct TTextLess
{
    bool operator()(const std::string &a, const std::string &b) const;
};
using TValueList = std::set<std::string, TTextLess>;

enum class TFilterType { None = 0, From = 1, Subject = 2, ArrivalDate = 3 };
inline constexpr const char *FilterTypeItems[] = {"None", "From", "Subject", "Arival Date"};

// Called now and then during long work with the work done and the whole; answers true to stop.
using TProgress = std::function<bool(int done, int total)>;

class TMessageBrowser
{
public:
    // The launch values: the parameter file's first two lines.
    void SetLaunchValues(const TStringList &parameters);
    // Takes the launch values from the parameter file again: a later start of the program
    // writes it and ends. A file that is gone or has no first line changes nothing. Answers
    // whether the file was written again since the last read, or its values changed.
    bool ReadLaunchValues(const std::string &parameterFile);
    // What every activation does before loading: the value lists emptied, the launch values back,
    // the mailbox index read from iconMailboxFile. Without a launch folder the first mailbox of
    // the index is shown.
    void ResetToLaunch(const std::string &iconMailboxFile);

    // Rebuilds the rows from MailboxFolder with the filter; answers the number of files found.
    // Unfiltered loads add to the value lists. A stopped load keeps the rows read so far.
    int LoadMessageList(TFilterType filter, const std::string &filterText,
                        const TProgress &progress = nullptr);

    // Names offered by the mailbox menu after "Rejected": the mailbox index's names, each once.
    std::vector<std::string> MailboxMenuNames() const;
    // Switches to a mailbox of the index by name (else dataRoot/name), or to the rejected mail.
    void SelectMailbox(const std::string &name, const std::string &dataRoot);
    void SelectRejected(const std::string &rejectedPath);

    // Sorts the rows by a column: the same column again reverses. "Arrival Date" sorts by date
    // and time (across years) and starts newest first; "Size" sorts by number.
    void Sort(int column, bool descending);

    // The full paths of the rows given by index (captured before a confirmation).
    std::vector<std::string> PathsOf(const std::vector<int> &rows) const;
    // Deletes the files; answers the bare names of those now gone, in order (failures are logged).
    static std::vector<std::string> DeleteFiles(const std::vector<std::string> &paths);

    std::string LaunchFolder, LaunchAccount;
    std::string LaunchStamp; // which write of the parameter file the launch values came from
    std::string MailboxFolder, MailboxName, MailboxAccount;
    TStringList MailboxIndex; // "IconMailbox.ini": user ID=inbox folder
    TValueList FromValues, SubjectValues, DateValues;
    TListRows Rows;
    int FilesFound = 0;

private:
    void AddValues(const TListRow &row);
};
