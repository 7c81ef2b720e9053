// Where a copy of a handset's blocks that the user asked for goes (--undo, --backup): the name
// with the handset filled in, checked against the run's own files, and never over an existing
// file. An undo file or backup is the one copy of what a handset held; a second run for the
// same name (a station started again after a kill, a handset brought back) must not replace
// it with a read-out of a handset that may be half-written by then.
#pragma once

#include <string>
#include <vector>

#include "platform/output_file.h"

namespace velmora {

// The name part that stands for a handset in a file name: its IMEI when the handset gave one,
// else "unknown-" and the time the copy is made (YYYYMMDDTHHMMSSZ), so that two handsets
// without an IMEI never share a name. created is a backup's "created" text.
std::string HandsetNamePart(const std::string& imeiAnswer, const std::string& created);

// path with every "{imei}" replaced by namePart.
std::string FillImei(const std::string& path, const std::string& namePart);

// Writes bytes to a new file (CreateFileWhole: exclusive, flushed, only the user's) at path, or,
// when a file is there already, beside it as STEM-2.EXT, STEM-3.EXT, ... (the first name that
// is free); an existing file is never replaced. Every name is checked first as an output
// (CheckOutputPath): a device, FIFO, folder or symlink, or one of the files in `keep` (the run's
// map, settings, report ...), is refused. True with the name written in *written; false with
// the reason in *why.
bool WriteNewCopy(const std::string& path, const std::string& bytes,
                  const std::vector<RunInput>& keep, std::string* written, std::string* why);

}  // namespace velmora
