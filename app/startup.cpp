#include "app/startup.h"

#include "sim/sim_device.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"

namespace velmora {

// The simulated handset behind "sim:" lives as long as the program, across port opens, so
// that a second run finds the blocks the first one wrote.
class Program::SimPort {
 public:
  explicit SimPort(Clock& clock) : clock_(clock) {}

  std::unique_ptr<SerialDevice> Open(const std::string& profilePath, std::string* error) {
    if (!handset_) {
      sim::SimProfile profile = sim::SimProfile::Default();
      if (!profilePath.empty() && !sim::LoadSimProfile(profilePath, &profile, error)) return nullptr;
      handset_ = std::make_unique<sim::SimHandset>(profile);
    }
    auto device = sim::OpenSimDevice(*handset_, clock_);
    if (!device) *error = "the simulated handset's port is in use";
    return device;
  }
  const sim::SimHandset* handset() const { return handset_.get(); }

 private:
  Clock& clock_;
  std::unique_ptr<sim::SimHandset> handset_;
};

namespace {

// The port name the link library opens for a port index: "COM1".."COM9", then "COM:".
std::string PortName(uint8_t index) { return std::string("COM") + static_cast<char>('1' + index); }

}  // namespace

Program::Program(DialogView& view, Clock& clock)
    : clock_(clock), model_(view), namer_(clock), simPort_(std::make_unique<SimPort>(clock)) {
  namer_.RegisterScheme("sim", [this](const std::string& arg, std::string* why) {
    return simPort_->Open(arg, why);
  });
  BuildLink(clock_, namer_);
}

void Program::BuildLink(Clock& linkClock, DeviceOpener& opener) {
  ops_.reset();
  session_.reset();
  blockStore_.reset();
  link_ = std::make_unique<Link>(linkClock, opener, model_);
  blockStore_ = std::make_unique<ServiceCommands>(*link_);
  session_ = std::make_unique<HandsetSession>(*link_, model_, settings_);
  ops_ = std::make_unique<HandsetUpdateOperations>(*session_, *blockStore_, model_);
}

void Program::Instrument(Clock& linkClock, const OpenerWrapper& wrapOpener,
                         const OperationsWrapper& wrapOperations) {
  wrappedOps_.reset();
  wrappedOpener_ = wrapOpener(namer_);
  BuildLink(linkClock, *wrappedOpener_);
  wrappedOps_ = wrapOperations(*ops_);
}

Program::~Program() = default;

const sim::SimHandset* Program::simHandset() const { return simPort_->handset(); }

void Program::Initialise(const StartupOptions& options, std::string* warning) {
  // As the program's own command line has always been searched: case-sensitive, anywhere,
  // the program path included.
  model_.SetUnattended(options.commandLine.find("AUTOMATIC") != std::string::npos);

  // A malformed settings file counts as no settings, as a missing registry key would.
  std::string error;
  const std::string path =
      options.settingsPath.empty() ? SettingsStore::DefaultPath() : options.settingsPath;
  if (!store_.LoadFile(path, &error) && warning != nullptr) *warning = error + " (settings ignored)";
  if (!LinkReadSettings(store_, &settings_.portIndex, &settings_.baudRate)) {
    settings_.baudRate = kDefaultBaudRate;
    // No choice leaves 255, which no port slot accepts: the connect then says so.
    if (options.askPort) settings_.portIndex = static_cast<uint8_t>(options.askPort());
  }
  if (options.baudRate != 0) settings_.baudRate = options.baudRate;
  namer_.LoadTable(store_);
  if (!options.port.empty()) namer_.SetTarget(PortName(settings_.portIndex), options.port);

  model_.EnableControl(kIdStart, false);
  std::string programPath;
  if (LoadEmbeddedMap(options.commandLine, model_, &programPath, &embedded_))
    model_.SetMapText(embedded_.text);
  model_.SetProgramPath(programPath);
  if (model_.MapText() != nullptr)
    model_.EnableControl(kIdStart, true);
  else
    model_.ShowControl(kIdOpenFile, true);
  model_.WriteLogHeader();
  model_.RefreshLog();
}

}  // namespace velmora
