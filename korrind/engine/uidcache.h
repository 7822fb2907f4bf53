// TUidCache: a mailbox's summary lines by the server's unique id of each message, kept in a
// file of its own beside "LastMail.ini". A check of a changed mailbox asks the server for the
// ids and fetches the headers only of the messages the cache does not know. A check that finds
// only new messages adds their entries at the end of the file without reading or writing the
// rest (Append); a crash mid-write leaves the file as it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TUidCache
{
public:
    struct TEntry
    {
        std::string To;   // the To value as the engine tests it against aliases
        std::string Line; // the summary line
    };

    // The file's last entry and how many it holds, read from its end alone.
    struct TTail
    {
        size_t Count = 0;
        std::string Id; // of the last entry, "" when there is none
        TEntry Last;
    };

    // False, with nothing loaded, when the file is missing, cut short or damaged.
    bool Load(const std::string &path);
    // Writes the entries of the messages now on the server (ids[k] ↔ tos[k], lines[k]).
    static bool Save(const std::string &path, const std::vector<std::string> &ids,
                     const std::vector<std::string> &tos, const std::vector<std::string> &lines);
    // Adds entries after the last one, in place; false (the file as it was) when its end is
    // not one Save or Append wrote, or writing fails.
    static bool Append(const std::string &path, const std::vector<std::string> &ids,
                       const std::vector<std::string> &tos, const std::vector<std::string> &lines);
    // False when the file's end is not one Save or Append wrote. The rest is not read: only a
    // Load proves the whole file sound.
    static bool ReadTail(const std::string &path, TTail &tail);
    const TEntry *Find(const std::string &id) const;
    size_t Size() const { return Entries.size(); }
    // The ids in the order of the file, which is the server's order when it was written.
    const std::vector<std::string> &Order() const { return Ids; }

    // The checksum the file's end line carries (FNV-1a), going on from hash.
    static uint64_t Checksum(std::string_view bytes, uint64_t hash = 14695981039346656037ULL);

    // Ids a cache can be keyed by: one per message, printable without blanks, no two alike.
    static bool UsableIds(const std::vector<std::string> &ids, size_t messageCount);

private:
    std::unordered_map<std::string, TEntry> Entries;
    std::vector<std::string> Ids;
};
