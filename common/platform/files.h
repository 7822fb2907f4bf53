// File operations with the system's safety rules: data files are written atomically and are
// owner-only.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Mode of data files and folders.
inline constexpr unsigned DataFileMode = 0600;
inline constexpr unsigned DataFolderMode = 0700;
// Mode of folders a program folder shares with every user (no data in them).
inline constexpr unsigned SharedFolderMode = 0755;

// Writes bytes to a temporary file in the same folder (path + TempFileInfix + six random
// characters), flushes it to disk and renames it over path, so a crash mid-write leaves the
// previous copy intact. The file gets mode `mode`. False (and the old file untouched) on any
// failure; errorText then says why.
bool WriteFileAtomic(const std::string &path, const std::string &bytes,
                     unsigned mode = DataFileMode, std::string *errorText = nullptr);
inline constexpr char TempFileInfix[] = ".tmp-";

// Replaces the file at path by bytes as WriteFileAtomic does, but without flushing: after a
// crash the file may hold the old bytes, the new ones or nothing. For records whose loss
// costs only time.
bool WriteFileUnflushed(const std::string &path, const std::string &bytes);

// Writes bytes to a new file at path, mode DataFileMode, that appears under its name only when
// whole and never replaces an existing file (false then, and when writing fails). Not flushed
// to disk: for copies whose original is kept elsewhere.
bool WriteNewFile(const std::string &path, const std::string &bytes);

// Removes the temporary files of WriteFileAtomic in folder that a crashed writer left behind
// (a running writer holds a lock on its file, so its file is left alone). Answers how many.
int RemoveStaleTemporaries(const std::string &folder);

// Renames path to the first free name of base, base-1, base-2 … (an existing file is never
// replaced); keptAs receives the name used. False when no rename succeeded.
bool MoveAside(const std::string &path, const std::string &base, std::string &keptAs);

// Writes bytes, flushed to disk, as a new file at the first free name of base, base-1, base-2 …
// (an existing file is never replaced); keptAs receives the name used. False when no file was
// written.
bool KeepCopy(const std::string &bytes, const std::string &base, std::string &keptAs);

// Replaces what stands in the file at path from offset on (offset = its size: appends) with
// bytes, in place, so that the rest is neither read nor written again, and so that a crash
// mid-write loses nothing: what stood there is first kept in an undo record beside the file
// (path + UndoSuffix, flushed, with a checksum that tells a whole record from a cut one), then
// the bytes are written and flushed, then the record is emptied. The record's file stays,
// empty. A record left behind by a crash is applied first, here and by RecoverFileTail.
// False, with the file as it was, on any failure.
bool ReplaceFileTail(const std::string &path, uint64_t offset, const std::string &bytes);
inline constexpr char UndoSuffix[] = ".undo";

// Puts a file whose ReplaceFileTail did not finish back as it was before. False only when a
// record is there and could not be applied.
bool RecoverFileTail(const std::string &path);

// The last length bytes of the file (all of a shorter one) and its size; false when it cannot
// be read.
bool ReadFileTail(const std::string &path, size_t length, std::string &bytes, uint64_t &size);

// What tells one state of a file from another without reading it: size, change time and
// inode. Equal stamps mean the file was not written in between.
struct TFileStamp
{
    uint64_t Size = 0;
    int64_t ChangedNs = 0;
    uint64_t Inode = 0;
    bool operator==(const TFileStamp &) const = default;
};
bool FileStamp(const std::string &path, TFileStamp &stamp);

// The whole file; false when it cannot be read.
bool ReadWholeFile(const std::string &path, std::string &bytes);

// Whether nothing at all (no file, folder or link) stands at path while its folder exists: a
// file that is simply not there yet, as opposed to one that is there but cannot be read.
bool MissingFromItsFolder(const std::string &path);

// Creates one folder (no parents) with exactly the given mode; true when it exists afterwards.
bool MakeFolder(const std::string &path, unsigned mode = DataFolderMode);

// Creates the folder and any missing parents with the given mode.
bool MakeFolderPath(const std::string &path, unsigned mode = DataFolderMode);

// A folder for this user's data alone: created as MakeFolderPath does, and when it is there
// already with access for others (made by the user or an older version, 0755), tightened to
// owner-only. Parents that were there are left as they are. True when the folder exists.
bool MakePrivateFolder(const std::string &path);

// Whether this user may create files in the folder (an installed program folder is not).
bool FolderWritable(const std::string &path);

// Text of the last system error (errno).
std::string SystemErrorText(int errorNumber);

} // namespace platform
