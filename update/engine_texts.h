// Every line the update engine shows the user, in one list: the log, the message buffer, the
// status line of the progress bar and the warning boxes. A new failure line goes here, beside
// the others of its job, and the code names it from here.
//
// Lines without a path are printf formats for MessageBuffer::Format (a 256-byte buffer, so the
// compiler checks each format against its arguments). Lines that carry a path or the system's
// reason go straight to the log, which has no such limit: they are built by the functions below.
// The texts are what users, scripts and the golden log know, byte for byte, spelling included.
#pragma once

#include <cstddef>
#include <string>

namespace velmora::texts {

// Block writing.
inline constexpr char kWritingBlocksStatus[] = "Writing blocks";
inline constexpr char kBlockWritten[] = "Block %d written\r\n";
inline constexpr char kCannotCollectGarbage[] = "\r\nERROR: Cant do garbage collection\r\n";

// A block that failed (the run's error line after it).
inline constexpr char kBlockInterrupted[] =
    "Interrupted: block %d and the blocks after it not written\r\n";
inline constexpr char kVerifyCannotRead[] =
    "Block %d verify failed: cannot read it back\r\nError:%s\r\n";
inline constexpr char kVerifyVersion[] = "Block %d verify failed: version %u read back\r\n";
inline constexpr char kVerifySize[] = "Block %d verify failed at byte %d: %u bytes read back\r\n";
inline constexpr char kVerifyData[] = "Block %d verify failed at byte %d\r\n";
inline constexpr char kBlockNotWritten[] = "Block %d not written\r\nError:%s\r\n";

// The garbage collection.
inline constexpr char kCollectionReadingOut[] = "Garbage Collection\r\nReading out max. %u Blocks \r\n";
inline constexpr char kCollectionReadingStatus[] = "Garbage Collection reading EELite";
inline constexpr char kCollectionErasing[] = "\r\nDeleting complete Eelite\r\n";
inline constexpr char kCollectionWritingBack[] = "Writing back Blocks\r\n";
inline constexpr char kCollectionWritingStatus[] = "Garbage Collection writing EELite";
inline constexpr char kCollectionRetry[] =
    "ERROR: Can't write back data to Mobile. Try again! (Last trail!)\r\n";
inline constexpr char kCannotCopyBeforeErase[] =
    "\r\nERROR: Can't save a copy of the Eelite blocks before erasing them (%s). "
    "Nothing erased.\r\n";

inline std::string PrivateFolderRefused(const std::string& why, const std::string& copyPath) {
  return "The private folder was refused (" + why + "); the copy of the Eelite blocks is in " +
         copyPath + "\r\n";
}
inline std::string WriteAheadCopyKept(const std::string& path) {
  return "The Eelite blocks read out are kept in " + path + "\r\n";
}

// The backup after a failed write-back.
inline constexpr char kBackupWriting[] =
    "\r\nIMPRORTANT INFO: Writing Backup from EELITE to mapsave.eel\r\n";
inline constexpr char kBackupRestoreTool[] = "Use BLKTOOL -w mapsave.eel to restore data.\r\n";
inline constexpr char kCannotBackup[] = "\r\nERROR: Can't backup EELITE (mapsave.eel) !\r\n";

inline std::string BackupNotWrittenThere(const std::string& refusal) {
  return "Backup not written there: " + refusal + "\r\n";
}
inline std::string EarlierBackupKept(const std::string& keptAs) {
  return "Earlier backup kept as " + keptAs + "\r\n";
}
inline std::string BackupWritten(const std::string& path) {
  return "Backup written to " + path + "\r\n";
}
inline std::string HandsetBackupWritten(const std::string& path) {
  return "Handset backup written to " + path + "\r\n";
}
inline std::string CannotWriteHandsetBackup(const std::string& mapsaveName, const std::string& why) {
  return "ERROR: Can't write the handset backup beside " + mapsaveName + " (" + why + ")\r\n";
}
inline std::string RestoreCommand(const std::string& path, const std::string& port) {
  return "Or restore it with: velmora-cli --restore " + path + " --port " + port + "\r\n";
}

// Restoring saved blocks.
inline constexpr char kRestoringEeliteStatus[] = "Restoring EELite blocks";
inline constexpr char kRestoringEefullStatus[] = "Restoring EEFull blocks";
inline constexpr char kBlockRestored[] = "Block %d restored\r\n";
inline constexpr char kBlockNotRestored[] = "Block %d not restored\r\nError:%s\r\n";
inline constexpr char kBlockDeleted[] = "Block %d deleted (it was not there before)\r\n";
inline constexpr char kBlockNotDeleted[] = "Block %d not deleted\r\nError:%s\r\n";

// Reading blocks out for a backup or an undo file.
inline constexpr char kReadingBlocksStatus[] = "Reading blocks";
inline constexpr char kReadingBlock[] = "Reading block %d\r\n";
inline constexpr char kBlockNotRead[] = "Block %d cannot be read\r\nError:%s\r\n";
inline constexpr char kRestoredUnreadable[] =
    "Block %d not restored\r\nError: cannot read it back: %s\r\n";
inline constexpr char kRestoredOtherData[] =
    "Block %d not restored: the handset holds other data\r\n";

inline std::string BlocksNotTried(size_t left) {
  return "Stopped: " + std::to_string(left) + " blocks not tried\r\n";
}

// The map-version record.
inline constexpr char kDeltaVersionDiffers[] =
    "Not the same Delta-Mapping-Version as Standard-Mapping in Mobile!\r\n";

}  // namespace velmora::texts
