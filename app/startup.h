// The program's start-up, shared by the front ends: the process-wide objects created once
// (clock, port table, link library, block store, session, engine, dialog model) and the
// dialog's initialisation steps: settings, port, embedded map, unattended mode, log header.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "app/dialog_run.h"
#include "container/loader.h"
#include "handset/service_commands.h"
#include "handset/session.h"
#include "handset/watch.h"
#include "link/link.h"
#include "platform/clock.h"
#include "ports/port_namer.h"
#include "platform/settings_store.h"
#include "ports/usb_ports.h"
#include "update/handset_operations.h"
#include "update/update_run.h"

namespace velmora {

namespace sim {
class SimHandset;
}

struct StartupOptions {
  std::string commandLine;   // the whole command line, program path first
  std::string settingsPath;  // empty: the default place
  std::string port;          // device for the configured port (path, rfc2217://, sim:)
  uint32_t baudRate = 0;     // 0: from the settings
  // Where usb:VID:PID[:SERIAL] ports are looked up (the system's device tree).
  std::string sysfsRoot = kDefaultSysfsRoot;
  // Asked when the settings hold no port: returns the port index (0 = COM1), or -1 for none.
  // Without it the port index stays at COM1.
  std::function<int()> askPort;
  // False for a run that never opens a port (the map check): what is wrong with the settings
  // is a warning, so that a settings file it does not need cannot stop it.
  bool settingsNeeded = true;
};

class Program {
 public:
  Program(DialogView& view, Clock& clock);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The dialog's initialisation. Leaves the log header written. Settings values it cannot use
  // are named in *warning with what is used instead (lines joined by "\n"). A settings file
  // named in the options that cannot be read, or a malformed one without options.port to run
  // on, stops it before any port is touched: startupError() then says why, and the program
  // must end.
  void Initialise(const StartupOptions& options, std::string* warning);
  const std::string& startupError() const { return startupError_; }
  // The adapter a usb: port named (usb is false for any other port).
  const SerialPortInfo& usbPort() const { return usbPort_; }

  DialogModel& model() { return model_; }
  const LinkSettings& linkSettings() const { return settings_; }
  // Lets a run be measured: the link library then sees linkClock and the devices of the
  // wrapped opener, and the run the wrapped operations. Call before Initialise.
  using OpenerWrapper = std::function<std::unique_ptr<DeviceOpener>(DeviceOpener&)>;
  using OperationsWrapper = std::function<std::unique_ptr<UpdateOperations>(UpdateOperations&)>;
  void Instrument(Clock& linkClock, const OpenerWrapper& wrapOpener,
                  const OperationsWrapper& wrapOperations);

  // Puts the Eelite blocks of a backup file (mapsave.eel or a write-ahead copy) back into the
  // handset. A file that cannot be read or is no backup file is reported in an error box and
  // gives Failed without touching the port.
  // Puts the blocks of a backup back into the connected handset. A handset backup is checked
  // whole first, and its handset must be the connected one unless otherHandset; a bare
  // mapsave.eel is taken through the handset backup beside it when there is one, and without
  // one only attended (after a warning) or with otherHandset.
  // exact: blocks the backup says were not there are deleted (always for an undo file).
  RunOutcome Restore(const std::string& backupPath, bool otherHandset, bool exact = false);
  // The write-ahead copies that interrupted garbage collections left behind, as full paths.
  std::vector<std::string> LeftoverCopies() const;
  // The backup a --restore of this start puts back: not reported as a leftover.
  void SetRestoring(std::string path) { restoring_ = std::move(path); }

  // Every block written or created is read back and compared (--verify).
  void SetVerify(bool verify);
  // The undo file of the update ("" none; "{imei}" stands for the handset's IMEI).
  void SetUndo(std::string path);
  // --backup: every block of the handset into a handset backup at path ("{imei}" stands for
  // the handset's IMEI; an existing file is never replaced).
  RunOutcome Backup(const std::string& path) {
    return StartBackup(model_, wrappedOps_ ? *wrappedOps_ : *ops_, path, runFiles_);
  }
  // The run's own files (map, settings, report ...): an undo file or backup whose name, once
  // the IMEI is filled in, is one of them is refused.
  void SetRunFiles(std::vector<RunInput> files);
  // The blocks, garbage collections and saved files of the runs are noted here (null: not).
  void SetRunRecord(RunRecord* record);

  // The Start button. A line of handsets passes the gate that may turn one away.
  RunOutcome Start(std::string* error = nullptr, const HandsetGate& gate = {}) {
    return StartUpdate(model_, wrappedOps_ ? *wrappedOps_ : *ops_, error, gate);
  }
  // What looks at the port for the next handset between the updates of a line.
  HandsetWatch& watch();
  Clock& clock() { return clock_; }
  // --plan: connects, reads what the handset holds and logs what an update of the map would
  // do to each block; writes nothing and switches the handset off. *error gets the error text.
  RunOutcome Plan(std::string* error);
  // The hardware product number last read from the handset (0 until one was read).
  uint16_t HardwareProduct() const { return ops_->HardwareProduct(); }
  // The in-process simulated handset, once "sim:" was opened.
  const sim::SimHandset* simHandset() const;

 private:
  class SimPort;
  void BuildLink(Clock& linkClock, DeviceOpener& opener);
  // The settings step of Initialise; false with startupError_ set when the program must end.
  bool ReadSettings(const StartupOptions& options, std::string* warning);
  // Where the backup files go, and the port the restore command is told to use.
  void ConfigureBackups(const std::string& restorePort);
  // Logs and shows every leftover write-ahead copy with the command that restores it.
  void ReportLeftoverCopies();

  Clock& clock_;
  DialogModel model_;
  SettingsStore store_;
  LinkSettings settings_;
  PortNamer namer_;
  std::unique_ptr<SimPort> simPort_;
  EmbeddedMap embedded_;
  std::unique_ptr<DeviceOpener> wrappedOpener_;
  std::unique_ptr<UpdateOperations> wrappedOps_;
  std::unique_ptr<Link> link_;
  std::unique_ptr<ServiceCommands> blockStore_;
  std::unique_ptr<HandsetSession> session_;
  std::unique_ptr<HandsetUpdateOperations> ops_;
  bool verify_ = false;
  RunRecord* record_ = nullptr;
  std::string undoPath_;
  std::vector<RunInput> runFiles_;
  std::string restoring_;
  std::string restorePort_ = "COM1";
  std::string startupError_;
  bool portDefaulted_ = false;  // the run uses the default port, chosen by nobody
  SerialPortInfo usbPort_;
  // Closes its port through the link: goes before it.
  std::unique_ptr<HandsetWatch> watch_;
};

}  // namespace velmora
