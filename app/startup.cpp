#include "app/startup.h"

#include <vector>

#include "app/settings_check.h"
#include "platform/regular_file.h"
#include "platform/usb_latency.h"
#include "update/plan_run.h"

#include "sim/sim_device.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"

namespace velmora {

// The simulated handset behind "sim:" lives as long as the program, across port opens, so
// that a second run finds the blocks the first one wrote.
class Program::SimPort {
 public:
  explicit SimPort(Clock& clock) : clock_(clock) {}

  // A profile that cannot be read or holds a bad line never gets better (Permanent); the
  // simulated port already open is let go when its run ends (Busy).
  std::unique_ptr<SerialDevice> Open(const std::string& profilePath, std::string* error,
                                     OpenFailure* kind) {
    if (!handset_) {
      sim::SimProfile profile = sim::SimProfile::Default();
      std::string why;
      if (!profilePath.empty() && !sim::LoadSimProfile(profilePath, &profile, &why)) {
        // The profile's own errors start with its path.
        if (why.compare(0, profilePath.size() + 2, profilePath + ": ") == 0)
          why.erase(0, profilePath.size() + 2);
        *error = "sim:" + profilePath + ": " + why;
        *kind = OpenFailure::Permanent;
        return nullptr;
      }
      handset_ = std::make_unique<sim::SimHandset>(profile);
    }
    auto device = sim::OpenSimDevice(*handset_, clock_);
    if (!device) {
      *error = "sim:" + profilePath + ": the simulated handset's port is in use";
      *kind = OpenFailure::Busy;
    }
    return device;
  }
  const sim::SimHandset* handset() const { return handset_.get(); }

 private:
  Clock& clock_;
  std::unique_ptr<sim::SimHandset> handset_;
};

namespace {

// A settings file holds a handful of values.
constexpr size_t kMaxSettingsFileBytes = 4 * 1024 * 1024;

// The port name the link library opens for a port index: "COM1".."COM9", then "COM:".
std::string PortName(uint8_t index) { return std::string("COM") + static_cast<char>('1' + index); }

}  // namespace

Program::Program(DialogView& view, Clock& clock)
    : clock_(clock), model_(view), namer_(clock), simPort_(std::make_unique<SimPort>(clock)) {
  namer_.RegisterScheme("sim", [this](const std::string& arg, std::string* why, OpenFailure* kind) {
    return simPort_->Open(arg, why, kind);
  });
  BuildLink(clock_, namer_);
  SetSerialNoteSink([this](const std::string& line) {
    model_.Log(line + "\r\n");
    model_.RefreshLog();
  });
}

void Program::BuildLink(Clock& linkClock, DeviceOpener& opener) {
  ops_.reset();
  session_.reset();
  blockStore_.reset();
  link_ = std::make_unique<Link>(linkClock, opener, model_);
  blockStore_ = std::make_unique<ServiceCommands>(*link_);
  session_ = std::make_unique<HandsetSession>(*link_, model_, settings_);
  session_->SetLog([this](const std::string& line) {
    model_.Log(line);
    model_.RefreshLog();
  });
  ops_ = std::make_unique<HandsetUpdateOperations>(*session_, *blockStore_, model_);
  ops_->engine().SetVerify(verify_);
  ops_->engine().SetRecord(record_);
  ops_->SetUndoPath(undoPath_);
  ops_->SetRunFiles(runFiles_);
}

void Program::SetRunFiles(std::vector<RunInput> files) {
  runFiles_ = std::move(files);
  ops_->SetRunFiles(runFiles_);
}

void Program::SetUndo(std::string path) {
  undoPath_ = std::move(path);
  ops_->SetUndoPath(undoPath_);
}

void Program::SetVerify(bool verify) {
  verify_ = verify;
  ops_->engine().SetVerify(verify);
}

void Program::SetRunRecord(RunRecord* record) {
  record_ = record;
  ops_->engine().SetRecord(record);
}

void Program::Instrument(Clock& linkClock, const OpenerWrapper& wrapOpener,
                         const OperationsWrapper& wrapOperations) {
  wrappedOps_.reset();
  wrappedOpener_ = wrapOpener(namer_);
  BuildLink(linkClock, *wrappedOpener_);
  wrappedOps_ = wrapOperations(*ops_);
}

Program::~Program() { SetSerialNoteSink(nullptr); }

bool Program::ReadSettings(const StartupOptions& options, std::string* warning) {
  std::vector<std::string> warnings;
  startupError_.clear();
  std::string error;
  // A run that opens no port (the map check) is told what is wrong with the settings, but is
  // not stopped by settings it does not need.
  const auto refuse = [&](const std::string& why) {
    if (options.settingsNeeded) {
      startupError_ = why;
      return false;
    }
    warnings.push_back(why + " (settings ignored)");
    return true;
  };
  // Set but empty names no file: taken for "not set", the run would quietly use another one.
  const bool namedNothing = options.settingsPath.empty() && SettingsStore::NamedButEmpty();
  if (namedNothing && !refuse("VELMORA_SETTINGS is set but empty: name a settings file in it, or unset it"))
    return false;
  const std::string named =
      options.settingsPath.empty() ? SettingsStore::NamedPath() : options.settingsPath;
  bool readable = !namedNothing;
  if (!named.empty()) {
    // Named by the user, so it has to be there: a typo must not send the boot traffic to COM1.
    std::string why;
    if (!ReadRegularFile(named, nullptr, &why, kMaxSettingsFileBytes)) {
      readable = false;
      if (!refuse("settings file " + named + (options.settingsPath.empty() ? " (VELMORA_SETTINGS)" : "") +
                  ": " + why))
        return false;
    }
  }
  const bool loaded = !readable || (options.settingsPath.empty() ? store_.LoadSystem(&error)
                                                                 : store_.LoadFile(options.settingsPath, &error));
  if (!loaded) {
    // A half-read settings file must not quietly become the defaults; with a port of its own
    // the run needs no settings.
    if (options.port.empty() && options.settingsNeeded) {
      startupError_ = error + " (fix the settings, or give --port to run without them)";
      return false;
    }
    warnings.push_back(error + " (settings ignored)");
  }

  const LinkSettingsProblems problems = CheckLinkSettings(store_);
  bool portRead = LinkReadSettings(store_, &settings_.portIndex, &settings_.baudRate) != 0;
  if (!portRead || problems.baudOutOfRange) settings_.baudRate = kDefaultBaudRate;
  // A stored port that is no port is asked for as if none were stored.
  if (problems.portOutOfRange) {
    portRead = false;
    settings_.portIndex = 0;
  }
  // No choice leaves 255, which no port slot accepts: the connect then says so. A device named
  // on the command line is the user's choice already: nothing to ask.
  if (!portRead && options.port.empty() && options.askPort)
    settings_.portIndex = static_cast<uint8_t>(options.askPort());
  if (options.baudRate != 0) settings_.baudRate = options.baudRate;
  // Neither the command line nor the settings nor the user chose: the default port is used.
  portDefaulted_ = !portRead && options.port.empty() && !options.askPort;

  const std::string where = options.settingsPath.empty() ? "settings" : options.settingsPath;
  const std::string portUsed =
      settings_.portIndex < kLinkSlotCount ? PortName(settings_.portIndex) : "no port";
  if (!problems.port.empty())
    warnings.push_back(where + ": " + problems.port + "; " + portUsed + " is used instead");
  if (!problems.baud.empty()) {
    warnings.push_back(where + ": " + problems.baud + "; " + std::to_string(settings_.baudRate) +
                       " baud is used instead");
  } else if (problems.storedBaud != 0 && problems.storedBaud != settings_.baudRate &&
             options.baudRate == 0) {
    // The link library reads the rate only after a good port.
    warnings.push_back(where + ": \"Baudrate\" " + std::to_string(problems.storedBaud) +
                       " is not used without a good \"ComPort\"; " +
                       std::to_string(settings_.baudRate) + " baud is used instead");
  }
  if (warning != nullptr) {
    warning->clear();
    for (const std::string& w : warnings) *warning += (warning->empty() ? "" : "\n") + w;
  }
  return true;
}

RunOutcome Program::Plan(std::string* error) {
  model_.EnableStartExit(false);
  model_.WriteLogHeader();
  model_.RefreshLog();
  const RunResult result = PlanRun(model_, wrappedOps_ ? *wrappedOps_ : *ops_, *blockStore_,
                                   [this] { return session_->handle(); }, model_.MapText());
  model_.ResetProgress();
  model_.EnableStartExit(true);
  if (!result.error.empty()) {
    model_.Log(result.error + "\r\n");
    model_.RefreshLog();
    model_.ShowMessageBox(result.error, MessageIcon::Error);
  }
  if (error != nullptr) *error = result.error;
  return result.outcome;
}

const sim::SimHandset* Program::simHandset() const { return simPort_->handset(); }

HandsetWatch& Program::watch() {
  if (!watch_) watch_ = std::make_unique<HandsetWatch>(*link_, settings_);
  return *watch_;
}

void Program::Initialise(const StartupOptions& options, std::string* warning) {
  // As the program's own command line has always been searched: case-sensitive, anywhere,
  // the program path included.
  model_.SetUnattended(options.commandLine.find("AUTOMATIC") != std::string::npos);

  if (!ReadSettings(options, warning)) return;
  namer_.LoadTable(store_);
  std::string device = options.port;
  if (IsUsbPortName(options.port)) {
    // An adapter named by what it is: whichever device it has become since it was plugged in.
    SerialPortInfo found;
    std::string why;
    std::string where;
    if (!FindUsbPort(SystemSerialPorts(options.sysfsRoot, &where), options.port, &found, &why)) {
      startupError_ = why;
      return;
    }
    device = found.device;
    usbPort_ = found;
  }
  if (!device.empty()) namer_.SetTarget(PortName(settings_.portIndex), device);

  ConfigureBackups(options.port.empty() ? PortName(settings_.portIndex) : options.port);
  model_.EnableControl(kIdStart, false);
  std::string programPath;
  if (LoadEmbeddedMap(options.commandLine, model_, &programPath, &embedded_))
    model_.SetMapText(embedded_.text);
  model_.SetProgramPath(programPath);
  if (model_.MapText() != nullptr)
    model_.EnableControl(kIdStart, true);
  else
    model_.ShowControl(kIdOpenFile, true);
  // Which device the default port is, so that boot traffic on a port nobody chose is seen.
  if (portDefaulted_) {
    const std::string port = PortName(settings_.portIndex);
    model_.SetHeaderNote("No port in the settings: " + port + ", the default, is " + namer_.TargetOf(port));
  }
  model_.WriteLogHeader();
  model_.RefreshLog();
  ReportLeftoverCopies();
}

}  // namespace velmora
