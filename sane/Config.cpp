#include "Config.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace wiastiio_sane {

namespace {

bool ParseNumber(const std::string& text, int base, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

bool ParseId(const std::string& text, uint16_t* id) {
  uint64_t value = 0;
  if (!ParseNumber(text, 16, 0xFFFF, &value)) {
    return false;
  }
  *id = static_cast<uint16_t>(value);
  return true;
}

bool ParseCount(const std::string& text, uint32_t* count) {
  uint64_t value = 0;
  if (!ParseNumber(text, 10, 1000000, &value)) {
    return false;
  }
  *count = static_cast<uint32_t>(value);
  return true;
}

uint32_t* Condition(SimulatorConditions& c, const std::string& name) {
  struct Named {
    const char* name;
    uint32_t SimulatorConditions::*field;
  };
  static const Named kConditions[] = {
      {"feeder-sheets", &SimulatorConditions::feederSheets},   {"busy", &SimulatorConditions::busyReserves},
      {"warming-up", &SimulatorConditions::warmingUpReserves}, {"jam", &SimulatorConditions::jamSheet},
      {"jam-block", &SimulatorConditions::jamBlock},           {"short-answer", &SimulatorConditions::shortAnswer},
      {"block-bytes", &SimulatorConditions::blockBytes},       {"block-pause", &SimulatorConditions::blockPauseMs},
      {"feed-pause", &SimulatorConditions::feedPauseMs},
  };
  for (const Named& named : kConditions) {
    if (name == named.name) {
      return &(c.*named.field);
    }
  }
  return nullptr;
}

// The settings of Apply, one function each: why the words are not that setting, or empty.
std::string ApplyUsb(const std::vector<std::string>& words, Config* config) {
  UsbId id;
  if (words.size() != 3 || !ParseId(words[1], &id.vendor) || !ParseId(words[2], &id.product)) {
    return "usb takes a vendor and a product id in hexadecimal";
  }
  config->usb.push_back(id);
  return "";
}

std::string ApplySimulator(const std::vector<std::string>& words, Config* config) {
  if (words.size() == 1) {
    config->simulator = true;
    return "";
  }
  uint32_t* field = Condition(config->conditions, words[1]);
  if (field == nullptr) {
    return "unknown simulator condition " + words[1];
  }
  if (words.size() != 3 || !ParseCount(words[2], field)) {
    return "simulator " + words[1] + " takes a count up to 1000000";
  }
  return "";
}

std::string ApplyCapture(const std::vector<std::string>& words, Config* config) {
  const std::string& key = words[0];
  if (words.size() != 2 || (key == "capture-images" && words[1] != "on" && words[1] != "off")) {
    return key == "capture" ? "capture takes one file" : "capture-images takes on or off";
  }
  if (key == "capture") {
    // A relative path would be taken against whatever folder the frontend runs in.
    if (words[1][0] != '/') {
      return "capture takes an absolute path, not " + words[1];
    }
    config->capture = words[1];
  } else {
    config->captureImages = words[1] == "on";
  }
  return "";
}

// Why the words of one line are not a setting; empty when they are one (and it is now in *config).
std::string Apply(const std::vector<std::string>& words, Config* config) {
  const std::string& key = words[0];
  if (key == "usb") {
    return ApplyUsb(words, config);
  }
  if (key == "simulator") {
    return ApplySimulator(words, config);
  }
  if (key == "retries" || key == "retry-delay") {
    uint32_t* field = key == "retries" ? &config->retries : &config->retryDelayMs;
    if (words.size() != 2 || !ParseCount(words[1], field)) {
      return key + " takes a count up to 1000000";
    }
    return "";
  }
  if (key == "library") {
    if (words.size() != 2) {
      return "library takes one path";
    }
    config->library = words[1];
    return "";
  }
  if (key == "capture" || key == "capture-images") {
    return ApplyCapture(words, config);
  }
  return "unknown setting " + key;
}

}  // namespace

Config ParseConfig(const std::string& text, std::vector<std::string>* problems) {
  Config config;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const size_t hash = line.find('#');
    std::istringstream stream(line.substr(0, hash));
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
      words.push_back(word);
    }
    if (words.empty()) {
      continue;
    }
    const std::string problem = Apply(words, &config);
    if (!problem.empty()) {
      problems->push_back("line " + std::to_string(number) + ": " + problem);
    }
  }
  const SimulatorConditions& c = config.conditions;
  if (c.blockBytes == 0) {
    problems->push_back("simulator block-bytes must be at least 1; 65536 taken");
    config.conditions.blockBytes = 65536;
  }
  if (c.jamBlock != 0 && c.jamSheet == 0) {
    problems->push_back("simulator jam-block needs simulator jam; ignored");
    config.conditions.jamBlock = 0;
  }
  return config;
}

std::vector<std::string> ConfigFolders(const char* saneConfigDir, const std::string& defaultFolder) {
  if (saneConfigDir == nullptr) {
    return {defaultFolder};
  }
  std::vector<std::string> folders;
  const std::string list = saneConfigDir;
  size_t start = 0;
  for (;;) {
    const size_t colon = list.find(':', start);
    const std::string folder = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (colon == std::string::npos) {
      if (!folder.empty()) {
        folders.push_back(folder);
      }
      break;
    }
    if (!folder.empty()) {
      folders.push_back(folder);
    }
    start = colon + 1;
    if (start == list.size()) {
      folders.push_back(defaultFolder);
      break;
    }
  }
  return folders;
}

ConfigFile ReadConfigFile(const char* saneConfigDir, const std::string& defaultFolder) {
  ConfigFile found;
  found.folders = ConfigFolders(saneConfigDir, defaultFolder);
  for (const std::string& folder : found.folders) {
    const std::string path = folder + "/wiastiio.conf";
    std::ifstream file(path);
    if (!file) {
      continue;
    }
    std::stringstream text;
    text << file.rdbuf();
    found.path = path;
    // A conf reached through a link (usb-scanner-sim's folder holds one) is named by the file it links to.
    std::error_code error;
    if (std::filesystem::is_symlink(path, error)) {
      const std::filesystem::path target = std::filesystem::canonical(path, error);
      if (!error) {
        found.path = target.string();
      }
    }
    found.config = ParseConfig(text.str(), &found.problems);
    break;
  }
  return found;
}

}  // namespace wiastiio_sane
