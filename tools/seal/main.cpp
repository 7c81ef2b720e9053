// velmora-seal: makes the key material, seals a map file into a copy of a program file and
// checks a sealed program file with the program's own loader.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "container/loader.h"
#include "tools/seal/seal.h"

namespace {

using velmora::seal::KeyMaterial;
using velmora::seal::SigningKey;

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return !in.bad();
}

bool WriteFile(const std::string& path, const void* data, size_t length) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
  return static_cast<bool>(out);
}

int Error(const std::string& text) {
  std::cerr << "velmora-seal: " << text << "\n";
  return 1;
}

bool LoadKeys(const std::string& keyFile, KeyMaterial* keys, std::string* error) {
  std::string text;
  if (!ReadFile(keyFile, &text)) {
    *error = "cannot read key file " + keyFile;
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
  namespace fs = std::filesystem;
  if (!force && (fs::exists(keyFile) || fs::exists(privateFile))) {
    return Error("refusing to overwrite existing keys (use --force)");
  }
  KeyMaterial keys;
  SigningKey signing;
  std::string error, pem;
  if (!velmora::seal::GenerateKeys(&keys, &signing, &error) ||
      !velmora::seal::WritePrivateKeyPem(signing, &pem, &error)) {
    return Error(error);
  }
  const std::string text = velmora::seal::FormatKeyFile(keys);
  if (!WriteFile(keyFile, text.data(), text.size())) return Error("cannot write " + keyFile);
  if (!WriteFile(privateFile, pem.data(), pem.size())) return Error("cannot write " + privateFile);
  std::error_code ec;
  fs::permissions(privateFile, fs::perms::owner_read | fs::perms::owner_write, ec);
  std::cout << "key file: " << keyFile << "\nprivate key: " << privateFile << "\n";
  return 0;
}

int Seal(const std::string& keyFile, const std::string& privateFile, const std::string& mapFile,
         const std::string& programFile, const std::string& outputFile) {
  KeyMaterial keys;
  SigningKey signing;
  std::string error, pem, mapText, program;
  if (!LoadKeys(keyFile, &keys, &error)) return Error(error);
  if (!ReadFile(privateFile, &pem)) return Error("cannot read private key " + privateFile);
  if (!velmora::seal::ReadPrivateKeyPem(pem, &signing, &error)) return Error(privateFile + ": " + error);
  if (!ReadFile(mapFile, &mapText)) return Error("cannot read map file " + mapFile);
  if (mapText.find('\0') != std::string::npos) {
    return Error(mapFile + " holds a zero byte; the program reads the map text only up to it");
  }
  if (!ReadFile(programFile, &program)) return Error("cannot read program file " + programFile);
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
  CLI::App app{"Seals map files into copies of the Velmora program file"};
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

  CLI11_PARSE(app, argc, argv);
  if (*keygen) return Keygen(keyFile, privateFile, force);
  if (*seal) return Seal(keyFile, privateFile, mapFile, programFile, outputFile);
  return Verify(keyFile, sealedFile, lines);
}
