// velmora-seal: makes the key material, seals a map file into a copy of a program file and
// checks a sealed program file with the program's own loader.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "container/loader.h"
#include "options/program_options.h"
#include "platform/regular_file.h"
#include "tools/seal/seal.h"

namespace {

using velmora::seal::KeyMaterial;
using velmora::seal::SigningKey;

namespace fs = std::filesystem;

// Key, map and program files: regular files only, so that a FIFO or a device named by mistake
// is refused at once instead of blocking the open or reading for ever.
bool ReadFile(const std::string& path, std::string* out, std::string* why) {
  return velmora::ReadRegularFile(path, out, why);
}

// Whether two paths name the same file: the same file-system entity when both exist (so that
// ./a and a, a link and its target, are caught), otherwise the same place once the existing
// part of each is resolved.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ea, eb;
  const bool hasA = fs::exists(a, ea);
  const bool hasB = fs::exists(b, eb);
  if (hasA && hasB) {
    std::error_code e;
    return fs::equivalent(a, b, e);
  }
  if (hasA != hasB) return false;
  const fs::path ca = fs::weakly_canonical(fs::absolute(a, ea), ea);
  const fs::path cb = fs::weakly_canonical(fs::absolute(b, eb), eb);
  return !ea && !eb && ca == cb;
}

// An output goes only where nothing is or a regular file is; a FIFO or a device would block
// the open or swallow the data.
bool WritablePlace(const std::string& path, std::string* why) {
  std::error_code e;
  const fs::file_status status = fs::symlink_status(path, e);
  if (!fs::exists(status)) return true;
  const fs::file_status target = fs::status(path, e);
  if (fs::is_regular_file(target)) return true;
  *why = path + ": " + velmora::kNotARegularFile;
  return false;
}

// Writes a whole file; secret: readable by the owner only from the moment it is created.
bool WriteFile(const std::string& path, const void* data, size_t length, bool secret = false) {
  if (secret) {
    std::error_code e;
    fs::remove(path, e);  // a new file gets the mode below; an old one would keep its own
    std::FILE* f = nullptr;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) f = fdopen(fd, "wb");
    if (f == nullptr) {
      if (fd >= 0) ::close(fd);
      return false;
    }
    const bool written = std::fwrite(data, 1, length, f) == length;
    return std::fclose(f) == 0 && written;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
  out.close();
  return static_cast<bool>(out);
}

int Error(const std::string& text) {
  std::cerr << "velmora-seal: " << text << "\n";
  return 1;
}

// Options that cannot go together, found only once the files are looked at.
int UsageError(const std::string& text) {
  Error(text);
  return velmora::kExitUsage;
}

bool LoadKeys(const std::string& keyFile, KeyMaterial* keys, std::string* error) {
  std::string text;
  std::string why;
  if (!ReadFile(keyFile, &text, &why)) {
    *error = "cannot read key file " + keyFile + ": " + why;
    return false;
  }
  return velmora::seal::ParseKeyFile(text, keys, error);
}

class StderrInteraction : public velmora::UserInteraction {
 public:
  int ShowMessageBox(const std::string& text, velmora::MessageIcon) override {
    std::cerr << "loader: " << text << "\n";
    ++shown;
    return 1;
  }
  int shown = 0;
};

int Keygen(const std::string& keyFile, const std::string& privateFile, bool force) {
  // One file cannot hold both: the second write would destroy the first.
  if (SameFile(keyFile, privateFile)) {
    return UsageError("--key-file and --private-key name the same file " + keyFile);
  }
  if (!force && (fs::exists(keyFile) || fs::exists(privateFile))) {
    return Error("refusing to overwrite existing keys (use --force)");
  }
  std::string why;
  if (!WritablePlace(keyFile, &why) || !WritablePlace(privateFile, &why)) return Error(why);
  KeyMaterial keys;
  SigningKey signing;
  std::string error, pem;
  if (!velmora::seal::GenerateKeys(&keys, &signing, &error) ||
      !velmora::seal::WritePrivateKeyPem(signing, &pem, &error)) {
    return Error(error);
  }
  const std::string text = velmora::seal::FormatKeyFile(keys);
  if (!WriteFile(keyFile, text.data(), text.size())) return Error("cannot write " + keyFile);
  if (!WriteFile(privateFile, pem.data(), pem.size(), true)) return Error("cannot write " + privateFile);
  std::cout << "key file: " << keyFile << "\nprivate key: " << privateFile << "\n";
  return 0;
}

int Seal(const std::string& keyFile, const std::string& privateFile, const std::string& mapFile,
         const std::string& programFile, const std::string& outputFile) {
  // The sealed copy must not land on one of the files it is made from: writing it would
  // destroy that input (the program file above all) before or while it is read.
  const std::pair<const char*, const std::string*> inputs[] = {
      {"--program", &programFile}, {"--map", &mapFile}, {"--key-file", &keyFile},
      {"--private-key", &privateFile}};
  for (const auto& [option, input] : inputs) {
    if (SameFile(outputFile, *input))
      return UsageError("-o names the same file as " + std::string(option) + ": " + *input);
  }
  KeyMaterial keys;
  SigningKey signing;
  std::string error, pem, mapText, program, why;
  if (!WritablePlace(outputFile, &why)) return Error(why);
  if (!LoadKeys(keyFile, &keys, &error)) return Error(error);
  if (!ReadFile(privateFile, &pem, &why)) return Error("cannot read private key " + privateFile + ": " + why);
  if (!velmora::seal::ReadPrivateKeyPem(pem, &signing, &error)) return Error(privateFile + ": " + error);
  if (!ReadFile(mapFile, &mapText, &why)) return Error("cannot read map file " + mapFile + ": " + why);
  if (mapText.find('\0') != std::string::npos) {
    return Error(mapFile + " holds a zero byte; the program reads the map text only up to it");
  }
  if (!ReadFile(programFile, &program, &why)) return Error("cannot read program file " + programFile + ": " + why);
  std::array<uint8_t, velmora::kIvPrefixLength> ivPrefix{};
  if (!velmora::seal::RandomBytes(ivPrefix.data(), ivPrefix.size())) return Error("no random bytes");
  std::vector<uint8_t> payload, sealed;
  if (!velmora::seal::SealPayload(mapText, keys, signing, ivPrefix, &payload, &error)) return Error(error);
  const std::vector<uint8_t> image(program.begin(), program.end());
  if (!velmora::seal::AppendContainer(image, payload, &sealed, &error)) return Error(programFile + ": " + error);
  if (!WriteFile(outputFile, sealed.data(), sealed.size())) return Error("cannot write " + outputFile);
  std::error_code ec;
  std::filesystem::permissions(outputFile, std::filesystem::status(programFile, ec).permissions(), ec);
  std::cout << "sealed " << mapText.size() << " bytes of map text into " << outputFile << " ("
            << sealed.size() << " bytes, program image " << image.size() << " bytes)\n";
  return 0;
}

int Verify(const std::string& keyFile, const std::string& sealedFile, int lines) {
  KeyMaterial keys;
  std::string error;
  if (!LoadKeys(keyFile, &keys, &error)) return Error(error);
  velmora::ContainerKeys containerKeys;
  if (!velmora::seal::ToContainerKeys(keys, &containerKeys, &error)) return Error(error);
  velmora::EmbeddedMapSource source;
  source.commandLine = "\"" + sealedFile + "\"";
  source.keys = &containerKeys;
  StderrInteraction ui;
  velmora::EmbeddedMap map;
  std::string path;
  if (!velmora::LoadEmbeddedMap(source, ui, &path, &map)) {
    return Error(ui.shown == 0 ? sealedFile + " carries no container" : sealedFile + " does not verify");
  }
  std::cout << sealedFile << ": container verified, " << map.length << " bytes of map text\n";
  std::istringstream text(std::string(map.text, map.length));
  std::string line;
  for (int i = 0; i < lines && std::getline(text, line); ++i) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::cout << line << "\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Seals map files into copies of the Velmora program file\n\n"
      "Exit status: 0 done, 1 a file could not be read, written or verified, 64 a usage error\n"
      "(also: both keygen outputs, or -o and an input, naming the same file)."};
  velmora::AddVersionFlag(app, "velmora-seal");
  app.require_subcommand(1);
  std::string keyFile, privateFile, mapFile, programFile, outputFile, sealedFile;
  bool force = false;
  int lines = 5;

  auto* keygen = app.add_subcommand("keygen", "Write a new key file and its private key");
  keygen->add_option("--key-file", keyFile, "Key file to write (compiled into builds)")->required();
  keygen->add_option("--private-key", privateFile, "PEM private key to write (keep it secret)")->required();
  keygen->add_flag("--force", force, "Overwrite existing files");

  auto* seal = app.add_subcommand("seal", "Append a sealed map to a copy of a program file");
  seal->add_option("--key-file", keyFile, "Key file of the build that will open it")->required()->check(CLI::ExistingFile);
  seal->add_option("--private-key", privateFile, "PEM private key")->required()->check(CLI::ExistingFile);
  seal->add_option("--map", mapFile, "Map file to seal")->required()->check(CLI::ExistingFile);
  seal->add_option("--program", programFile, "Program file to copy")->required()->check(CLI::ExistingFile);
  seal->add_option("-o,--output", outputFile, "Sealed program file to write")->required();

  auto* verify = app.add_subcommand("verify", "Open a sealed program file and show its map's first lines");
  verify->add_option("--key-file", keyFile, "Key file of the build")->required()->check(CLI::ExistingFile);
  verify->add_option("sealed", sealedFile, "Sealed program file")->required()->check(CLI::ExistingFile);
  verify->add_option("--lines", lines, "Map lines to show")->check(CLI::NonNegativeNumber);

  if (const int status = velmora::ParseProgramOptions(app, argc, argv); status >= 0) return status;
  if (*keygen) return Keygen(keyFile, privateFile, force);
  if (*seal) return Seal(keyFile, privateFile, mapFile, programFile, outputFile);
  return Verify(keyFile, sealedFile, lines);
}
