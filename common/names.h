// The fixed names of the system: companion programs, folders, data files and other texts
// that more than one unit spells. Nothing else in the code base writes these literals.
#pragma once

namespace names {

// Companion programs: the name each is registered under as a plug-in and the name of its
// single-instance lock.
inline constexpr char Velmot[] = "Velmot";
inline constexpr char Drasset[] = "Drasset";
inline constexpr char Quintor[] = "Quintor";
inline constexpr char Pelloway[] = "Pelloway";
inline constexpr char Strenna[] = "Strenna";
inline constexpr char Omblee[] = "Omblee"; // help program, started only when registered
inline constexpr char Fennick[] = "Fennick";
inline constexpr const char *Companions[] = {Velmot,  Drasset, Quintor, Pelloway,
                                             Strenna, Omblee,  Fennick};

// The monitor: application title, single-instance lock and executable file name.
inline constexpr char AppTitle[] = "Corvex";
inline constexpr char MonitorLock[] = "CORVEX";
inline constexpr char MonitorExe[] = "korrind";

// Folders.
inline constexpr char DataRootFolder[] = "Corvex Users"; // in the application-data folder
inline constexpr char ExtBinFolder[] = "Ext Bin";        // program folder
inline constexpr char PlugInsFolder[] = "PlugIns";       // program folder and data root
inline constexpr char ExtentionsFolder[] = "Extentions"; // program folder and data root
inline constexpr char TempFolder[] = "Temp";             // data root
inline constexpr char MyAlertsFolder[] = "My Alerts";    // documents folder
inline constexpr char HelpFolder[] = "Help";             // program folder or its parent
inline constexpr char MediaFolder[] = "Media";           // program folder: shipped sounds
inline constexpr char RejectedMailFolder[] = "Rejected Mail";
inline constexpr char ParameterFolder[] = "corvex-parameters"; // runtime folder, when the
                                                               // program folder is read-only

// Data files.
inline constexpr char IconMailboxFile[] = "IconMailbox.ini";
inline constexpr char AltPathFile[] = "AltPath.ini";
inline constexpr char AddressBookFile[] = "AddressBook.ini";
inline constexpr char AliasFile[] = "Alias.ini";
inline constexpr char AlertsFile[] = "Alerts.ini";
inline constexpr char LastMailFile[] = "LastMail.ini";
// Beside "LastMail.ini": each message's summary line by the server's unique id.
inline constexpr char UidCacheFile[] = "LastMailIds.ini";
// Beside them: that the last check left "LastMail.ini" listing what the id cache lists, with
// the stamps of both files, so a check of a mailbox that only grew reads neither whole.
inline constexpr char CheckStateFile[] = "LastMailState.ini";
inline constexpr char MasterPriorityFile[] = "mPriorityMail.ini";
inline constexpr char MasterRejectFile[] = "mRejectMail.ini";
inline constexpr char PriorityFile[] = "PriorityMail.ini";
inline constexpr char RejectFile[] = "RejectMail.ini";
inline constexpr char ConfigFile[] = "Config.cfg";
inline constexpr char PopSrvFile[] = "PopSrv.cfg";
// Data root: both of the above as one change being saved; finished by the next read if a
// crash interrupted the save.
inline constexpr char PendingSaveFile[] = "Apply.pending";
// Data root: the mail servers that offered STLS or STARTTLS once (they get no password in clear).
inline constexpr char TlsServersFile[] = "TlsServers.ini";
// Data root: the OAuth2 sign-ins of mailboxes and the outgoing server, each entry sealed.
inline constexpr char OAuth2File[] = "OAuth2.cfg";

// Other fixed names.
inline constexpr char HelpFile[] = "Help/CORVEX.HLP"; // relative to the program folder
inline constexpr char HelpGuideFile[] = "index.html"; // the HTML guide, beside the help file
// Runtime folder: the page that forwards the browser to a section of the guide.
inline constexpr char GuideForwardFile[] = "corvex-guide.html";
// Scratch message, relative to the data root; it lies in the "Temp" folder (names are
// case-sensitive here, so it uses that folder's spelling).
inline constexpr char TempMessageFile[] = "Temp/temp.eml";
inline constexpr char DebugLogFile[] = "Debug.txt";    // program folder
inline constexpr char DebugLogOldExt[] = "bak";        // extension of the rotated log
inline constexpr char RegistryFile[] = "Registry.ini"; // data root: the file-backed registry
inline constexpr char LockFolder[] = "corvex-locks";   // in the runtime folder
inline constexpr char ShortcutExt[] = ".desktop";      // autostart entries
inline constexpr char KeyFolder[] = "corvex";          // in the user's configuration folder
inline constexpr char KeyFile[] = "record.key";        // mailbox data key, in KeyFolder

// A companion refusing to edit a file it cannot read (the path follows).
inline constexpr char CantReadFile[] = "Can't Read:\n%s";

} // namespace names
