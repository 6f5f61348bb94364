// The transcript machinery: scenario files, the player that runs them through the exports while it
// records what happens, and the comparison with the file.
//
// WIASTIIO_RERECORD=1 writes the files anew from what the library does now (comments and steps kept).
//
// A file is made of
//   # ...            comments, kept when the file is written anew
//   !route ...       the setup: "monitor", or "direct [vid=N pid=N]" (a device object at \\.\Usbscan0
//                    reporting those ids; "> device vid=N pid=N" puts in another between two calls)
//   !scanner k=v ... the simulator's configuration and script
//   !value N T D     a value under DeviceData: T is dword, sz, binary, typed (a registry type's
//                    number, then hex bytes) or none (N not there); "> value N T D" rewrites (or
//                    deletes) it between two calls
//   !absent E ...    entry points the route's contention module lacks
//   !missing F       a contention module that is not installed at all
//   !device-calls    the DeviceIoControl calls on \\.\Usbscan0 are part of the record ("D" lines)
//   > step           a call, or a change to the scanner, the port or the cable before the next call
//   and, after each step, what it did:
//   | text           a debugger string (\t tab, \\ backslash, \s a blank at the end, \xNN others)
//   M call = r       a call of the contention module and what it answered
//   D call = r       a DeviceIoControl on the direct route's device object (with !device-calls)
//   W asked/moved .. a write on the wire and its bytes ("fail E" when the call failed with error E)
//   R asked/moved .. a read on the wire and the bytes the library received
//   S text           what the scanner took as a breach of its protocol
//   >> step          a call made on the scenario's behalf by "> page"
//   = result ...     the export's result and what it handed back
//   @ ...            the state the scenario ends in
//   !variant V [D]   a variant of the session, played on its own, with the setup line "!D" for V alone
//   {V,W}line        a line of variants V and W only (files with variants are mended by hand)
#include "support/Transcript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <span>
#include <sstream>
#include <string_view>
#include <utility>

#include "ExportNames.h"
#include "STIEscape.h"
#include "simulator/ScannerModel.h"
#include "support/Harness.h"

namespace transcript {

namespace {

// ---- Text ---------------------------------------------------------------------------------------------

std::string Hex(const uint8_t* data, size_t length) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof(byte), i == 0 ? "%02X" : " %02X", data[i]);
    text += byte;
  }
  return text;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

uint32_t Fnv1a(const uint8_t* data, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) {
    hash = (hash ^ data[i]) * 16777619u;
  }
  return hash;
}

// Bytes as hex; a long run as its first bytes, its length and a hash of the whole.
std::string Bytes(const uint8_t* data, size_t length) {
  constexpr size_t kShownWhole = 96;
  if (length <= kShownWhole) {
    return Hex(data, length);
  }
  return Hex(data, 16) + " ... fnv " + Hex32(Fnv1a(data, length));
}

std::string Escaped(const std::string& line) {
  std::string text;
  for (size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '\t') {
      text += "\\t";
    } else if (c == '\\') {
      text += "\\\\";
    } else if (c == ' ' && i + 1 == line.size()) {
      text += "\\s";
    } else if (c < 0x20 || c >= 0x7F) {
      char code[8];
      std::snprintf(code, sizeof(code), "\\x%02X", c);
      text += code;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

uint32_t Number(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 0));
}

std::vector<uint8_t> HexBytes(const std::vector<std::string>& words, size_t from) {
  std::vector<uint8_t> bytes;
  for (size_t i = from; i < words.size(); ++i) {
    bytes.push_back(static_cast<uint8_t>(std::strtoul(words[i].c_str(), nullptr, 16)));
  }
  return bytes;
}

// "key=value" options of a step, and its bare words.
struct Options {
  std::map<std::string, std::string> values;
  std::vector<std::string> flags;

  explicit Options(const std::vector<std::string>& words, size_t from = 1) {
    for (size_t i = from; i < words.size(); ++i) {
      const size_t equals = words[i].find('=');
      if (equals == std::string::npos) {
        flags.push_back(words[i]);
      } else {
        values[words[i].substr(0, equals)] = words[i].substr(equals + 1);
      }
    }
  }
  bool Has(const std::string& flag) const { return std::find(flags.begin(), flags.end(), flag) != flags.end(); }
  uint32_t Get(const std::string& key, uint32_t fallback) const {
    auto it = values.find(key);
    return it == values.end() ? fallback : Number(it->second);
  }
  std::string Text(const std::string& key, const std::string& fallback) const {
    auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
  }
};

std::string ResultName(HRESULT hr) {
  static const std::map<uint32_t, const char*> kNames = {
      {0x00000000u, "S_OK"},
      {0x00000004u, "PAGE_END"},
      {0x00000007u, "ADF_NO_DOCUMENT"},
      {0x00000008u, "DEVICE_UNLOCKED"},
      {0x00000100u, "PORT_ACQUIRE_FAIL"},
      {0x80004001u, "E_NOTIMPL"},
      {0x80004005u, "E_FAIL"},
      {0x8000FFFFu, "E_UNEXPECTED"},
      {0x8007000Eu, "E_OUTOFMEMORY"},
      {0x80070057u, "E_INVALIDARG"},
      {0x80070103u, "STI_NO_EVENT"},
      {0x80210001u, "WIA_ERROR_GENERAL_ERROR"},
      {0x80210002u, "WIA_ERROR_PAPER_JAM"},
      {0x80210003u, "WIA_ERROR_PAPER_EMPTY"},
      {0x80210006u, "WIA_ERROR_BUSY"},
      {0x80210007u, "WIA_ERROR_WARMING_UP"},
  };
  auto it = kNames.find(static_cast<uint32_t>(hr));
  return it == kNames.end() ? Hex32(static_cast<uint32_t>(hr)) : it->second;
}

// ---- The record ---------------------------------------------------------------------------------------

// Everything that happens while a scenario plays, in order. Calls of the contention modules are
// taken from the doubles' own records whenever something else is noted, so they land in place.
class Record {
 public:
  static Record& Current() {
    static Record record;
    return record;
  }

  void Start(bool deviceCalls) {
    lines_.clear();
    monitorCalls_ = 0;
    arbitrationCalls_ = 0;
    deviceCalls_ = deviceCalls;
    deviceControlsSeen_ = 0;
  }
  // `inTransfer`: noted from inside a port transfer, which a DeviceRead or DeviceWrite of the device
  // monitor may still be making; that call is taken once it has returned.
  void Note(const std::string& line, bool inTransfer = false) {
    TakeModuleCalls(inTransfer);
    lines_.push_back(line);
  }
  void TakeModuleCalls(bool inTransfer = false) {
    Take(harness::DeviceMonitor(), &monitorCalls_, inTransfer);
    Take(harness::PortArbitration(), &arbitrationCalls_, inTransfer);
    if (deviceCalls_) {
      const std::vector<std::string> controls = harness::DeviceControls();
      for (; deviceControlsSeen_ < controls.size(); ++deviceControlsSeen_) {
        lines_.push_back("D " + controls[deviceControlsSeen_]);
      }
    }
  }
  std::vector<std::string> TakeLines() {
    TakeModuleCalls();
    std::vector<std::string> lines;
    lines.swap(lines_);
    return lines;
  }

  static void OnDebugLine(const char* line) { Current().Note("| " + Escaped(line)); }

 private:
  void Take(doubles::ContentionDouble& module, size_t* seen, bool inTransfer) {
    const size_t count = module.CallCount();
    for (; *seen < count; ++*seen) {
      doubles::CallRecord call;
      if (!module.Call(*seen, &call)) {
        continue;
      }
      const bool transfer =
          call.entry == doubles::EntryPoint::DeviceRead || call.entry == doubles::EntryPoint::DeviceWrite;
      if (inTransfer && transfer && *seen + 1 == count) {
        break;
      }
      lines_.push_back("M " + doubles::Describe(call) + " = " + std::to_string(call.result));
    }
  }

  std::vector<std::string> lines_;
  size_t monitorCalls_ = 0;
  size_t arbitrationCalls_ = 0;
  bool deviceCalls_ = false;
  size_t deviceControlsSeen_ = 0;
};

// The cable as the library sees it: the bytes it wrote and the bytes it got back, after the faults.
class Tap : public scansim::Port {
 public:
  Tap(scansim::Port& inner, scansim::ScannerModel& scanner) : inner_(inner), scanner_(scanner) {}

  bool Write(const uint8_t* data, uint32_t length, uint32_t* written) override {
    const bool ok = inner_.Write(data, length, written);
    Note('W', data, length, *written, ok);
    return ok;
  }
  bool Read(uint8_t* data, uint32_t length, uint32_t* read) override {
    const bool ok = inner_.Read(data, length, read);
    for (const auto& patch : patches_) {
      if (patch.first < std::min(*read, length)) {
        data[patch.first] = patch.second;
      }
    }
    patches_.clear();
    Note('R', data, length, *read, ok);
    return ok;
  }
  // Bytes the scanner's next answer carries in place of its own, as a faulty or hostile device might.
  void PatchNextRead(uint32_t offset, uint8_t value) { patches_.emplace_back(offset, value); }
  uint32_t LastError() const override { return inner_.LastError(); }

 private:
  void Note(char direction, const uint8_t* data, uint32_t length, uint32_t moved, bool ok) {
    std::string line = std::string(1, direction) + " " + std::to_string(length) + "/" + std::to_string(moved);
    if (!ok) {
      line += " fail " + std::to_string(inner_.LastError());
    }
    if (moved > 0) {
      line += ": " + Bytes(data, std::min(moved, length));
    }
    Record::Current().Note(line, true);
    const std::vector<std::string>& violations = scanner_.ProtocolViolations();
    // Still inside the transfer: the module call making it is taken once it has returned, with its result.
    for (; violationsSeen_ < violations.size(); ++violationsSeen_) {
      Record::Current().Note("S " + violations[violationsSeen_], true);
    }
  }

  scansim::Port& inner_;
  scansim::ScannerModel& scanner_;
  size_t violationsSeen_ = 0;
  std::vector<std::pair<uint32_t, uint8_t>> patches_;
};

// ---- Scenarios ----------------------------------------------------------------------------------------

constexpr WORD kVid = 0x1A2B;
constexpr WORD kPid = 0x3C4D;
constexpr uint8_t kFill = 0xCD;  // what an output buffer holds before the call

}  // namespace

std::string PathOf(const std::string& name) {
  std::string path = std::string(WIASTIIO_SOURCE_DIR) + "/tests/transcripts/" + name;
#ifdef _WIN32
  // Under Wine the tree is reached through drive Z:, the root of the host's file system.
  path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
#endif
  return path;
}

std::vector<std::string> Variants(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> names;
  for (std::string line; std::getline(file, line);) {
    const std::vector<std::string> words = Words(line);
    if (words.size() >= 2 && words[0] == "!variant" && std::find(names.begin(), names.end(), words[1]) == names.end()) {
      names.push_back(words[1]);
    }
  }
  return names;
}

namespace {

// A line as `variant` plays it: 1 kept (its mark taken off), 0 left out, -1 naming a variant the file
// does not declare (a misspelt name would drop the line from every variant).
int OfVariant(std::string* line, const std::string& variant, const std::vector<std::string>& names) {
  if (line->rfind("!variant ", 0) == 0) {
    const size_t end = std::min(line->find(' ', 9), line->size());
    const bool mine = line->compare(9, end - 9, variant) == 0 && end < line->size();
    *line = "!" + line->substr(std::min(end + 1, line->size()));
    return mine ? 1 : 0;
  }
  const size_t end = line->find('}');
  if (line->empty() || (*line)[0] != '{' || end == std::string::npos) {
    return 1;
  }
  std::istringstream list(line->substr(1, end - 1));
  line->erase(0, end + 1);
  bool mine = false;
  for (std::string name; std::getline(list, name, ',');) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      return -1;
    }
    mine = mine || name == variant;
  }
  return mine ? 1 : 0;
}

}  // namespace

bool Load(const std::string& path, Scenario* scenario, const std::string& variant) {
  const std::vector<std::string> names = Variants(path);
  std::ifstream file(path, std::ios::binary);
  if (!file || (variant.empty() ? !names.empty() : std::find(names.begin(), names.end(), variant) == names.end())) {
    return false;
  }
  std::string line;
  std::vector<std::string> comments;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    const int kept = names.empty() ? 1 : OfVariant(&line, variant, names);
    if (kept < 0) {
      return false;
    } else if (kept == 0) {
      continue;
    }
    const bool inHeader = scenario->steps.empty();
    if (line.empty() || line[0] == '#') {
      (inHeader ? scenario->header : comments).push_back(line);
      continue;
    }
    if (line[0] == '!' && inHeader) {
      scenario->header.push_back(line);
      scenario->setup.push_back(line.substr(1));
      continue;
    }
    if (line.rfind("> ", 0) == 0) {
      scenario->steps.push_back({comments, line.substr(2)});
      comments.clear();
    }
    scenario->expected.push_back(line);
    scenario->expectedLineNumbers.push_back(number);
  }
  return true;
}

// The line-by-line difference of two records, as "-" (the file) and "+" (now) lines with context.
std::string Difference(const std::vector<std::string>& want, const std::vector<int>& numbers,
                       const std::vector<std::string>& got) {
  const size_t n = want.size();
  const size_t m = got.size();
  std::vector<std::vector<int>> common(n + 1, std::vector<int>(m + 1, 0));
  for (size_t i = n; i-- > 0;) {
    for (size_t j = m; j-- > 0;) {
      common[i][j] = want[i] == got[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    }
  }
  struct Edit {
    char kind;
    size_t index;
  };
  std::vector<Edit> edits;
  for (size_t i = 0, j = 0; i < n || j < m;) {
    if (i < n && j < m && want[i] == got[j]) {
      edits.push_back({' ', i++});
      ++j;
    } else if (i < n && (j == m || common[i + 1][j] >= common[i][j + 1])) {
      edits.push_back({'-', i++});
    } else {
      edits.push_back({'+', j++});
    }
  }
  constexpr size_t kContext = 3;
  constexpr size_t kMaxShown = 200;
  std::vector<bool> shownEdit(edits.size(), false);
  for (size_t e = 0; e < edits.size(); ++e) {
    if (edits[e].kind != ' ') {
      for (size_t k = e >= kContext ? e - kContext : 0; k < edits.size() && k <= e + kContext; ++k) {
        shownEdit[k] = true;
      }
    }
  }
  std::string text;
  size_t shown = 0;
  bool gap = false;
  for (size_t e = 0; e < edits.size() && shown < kMaxShown; ++e) {
    if (!shownEdit[e]) {
      gap = true;
      continue;
    }
    if (gap && shown > 0) {
      text += "  ...\n";
    }
    gap = false;
    const Edit& edit = edits[e];
    if (edit.kind == '+') {
      text += "+      " + got[edit.index] + "\n";
    } else {
      char where[16];
      std::snprintf(where, sizeof(where), "%5d ", numbers[edit.index]);
      text += std::string(1, edit.kind) + where + want[edit.index] + "\n";
    }
    ++shown;
  }
  return text;
}

class Player::Impl {
 public:
  explicit Impl(const Scenario& scenario) : scenario_(scenario) {}
  ~Impl() { Finish(); }

  // False (with the reason) when this build cannot set the scenario up.
  bool Setup(std::string* why) {
    scansim::Config config;
    config.block_bytes = 1280;
    std::vector<std::string> values;
    std::vector<std::string> absent;   // entry points the route's module lacks
    std::vector<std::string> missing;  // modules not installed
    bool deviceCalls = false;
    for (const std::string& line : scenario_.setup) {
      const std::vector<std::string> words = Words(line);
      const std::string directive = words.empty() ? "" : words[0];
      if (directive == "route") {
        direct_ = words.size() > 1 && words[1] == "direct";
        const Options ids(words, 2);
        deviceVid_ = static_cast<WORD>(ids.Get("vid", kVid));
        devicePid_ = static_cast<WORD>(ids.Get("pid", kPid));
      } else if (directive == "scanner") {
        Configure(Options(words), &config);
      } else if (directive == "value") {
        values.push_back(line);
      } else if (directive == "absent") {
        absent.insert(absent.end(), words.begin() + 1, words.end());
      } else if (directive == "missing") {
        missing.insert(missing.end(), words.begin() + 1, words.end());
      } else if (directive == "device-calls") {
        deviceCalls = true;
      } else if (!words.empty()) {
        ADD_FAILURE() << "unknown setup !" << line;
      }
    }
    harness::ResetDoubles();
    for (const std::string& name : absent) {
      for (uint32_t entry = 0; entry < doubles::kEntryPointCount; ++entry) {
        if (name == doubles::EntryPointName(static_cast<doubles::EntryPoint>(entry))) {
          Contention().SetAbsent(static_cast<doubles::EntryPoint>(entry), true);
        }
      }
    }
    if (!absent.empty() && !harness::ApplyAbsentEntryPoints()) {
      *why = "the modules here cannot lack an entry point";
      return false;
    }
    const bool stepRemoves = std::any_of(scenario_.steps.begin(), scenario_.steps.end(), [](const Step& step) {
      return step.text.rfind("port ", 0) == 0 && Options(Words(step.text)).Has("missing");
    });
    if ((stepRemoves || !missing.empty()) && !harness::ModulesCanBeRemoved()) {
      *why = "the modules here cannot be taken away";
      return false;
    }
    for (const std::string& name : missing) {
      harness::RemoveContentionModule(name.c_str());
    }
    scanner_ = std::make_unique<scansim::ScannerModel>(config);
    faults_ = std::make_unique<scansim::FaultyPort>(*scanner_);
    tap_ = std::make_unique<Tap>(*faults_, *scanner_);
    // The scanner stands behind both routes; the registry settings choose the one the library takes.
    if (direct_ && !harness::PlugScanner(tap_.get(), deviceVid_, devicePid_)) {
      *why = "no device object can be plugged in here for the direct route";
      return false;
    }
    harness::DeviceMonitor().SetPort(tap_.get());
    key_ = std::make_unique<harness::DeviceKey>();
    std::map<std::string, std::string> registry = {
        {"Vid", "value Vid dword 0x1A2B"},
        {"Pid", "value Pid dword 0x3C4D"},
        {"DeviceMonitor", direct_ ? "value DeviceMonitor dword 0" : "value DeviceMonitor dword 1"}};
    for (const std::string& line : values) {
      const std::vector<std::string> words = Words(line);
      if (words.size() >= 3) {
        registry[words[1]] = line;
      }
    }
    for (const auto& entry : registry) {
      const std::vector<std::string> words = Words(entry.second);
      if (words.size() > 2 && words[2] != "none") {  // a fresh key has no value, and no DeviceData until one
        WriteValue(entry.second);
      }
    }
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    harness::ClearDebugLines();
    Record::Current().Start(deviceCalls);
    harness::ObserveDebugLines(&Record::OnDebugLine);
    return true;
  }

  // Each step, then the state the scenario ends in; every line is also noted with its step.
  std::vector<std::string> Play(std::vector<std::vector<std::string>>* perStep) {
    std::vector<std::string> all;
    for (const Step& step : scenario_.steps) {
      Record::Current().Note("> " + step.text);
      Run(step.text);
      perStep->push_back(Record::Current().TakeLines());
      all.insert(all.end(), perStep->back().begin(), perStep->back().end());
    }
    const std::string end = "@ end: port " + std::string(Contention().Held() ? "held" : "free") + ", device " +
                            (Contention().Opened() ? "open" : "closed") + ", scanner " +
                            (scanner_->UnitReserved() ? "reserved" : "free");
    perStep->back().push_back(end);
    all.push_back(end);
    return all;
  }

  scansim::FaultyPort& Faults() { return *faults_; }

  void Finish() {
    if (finished_) {
      return;
    }
    finished_ = true;
    harness::ObserveDebugLines(nullptr);
    harness::TheLibrary().TerminateDll();
    harness::ResetDoubles();
    harness::UnplugScanners();
    if (event_ != nullptr) {
      CloseHandle(event_);
    }
  }

 private:
  static void Configure(const Options& options, scansim::Config* config) {
    scansim::Script& script = config->script;
    config->block_bytes = options.Get("block_bytes", config->block_bytes);
    config->feeder_sheets = options.Get("feeder_sheets", config->feeder_sheets);
    config->identity.has_feeder = options.Get("has_feeder", config->identity.has_feeder) != 0;
    scansim::Identity& id = config->identity;
    id.firmware_minor = static_cast<uint8_t>(options.Get("firmware_minor", id.firmware_minor));
    id.vendor = options.Text("vendor", id.vendor);
    id.product = options.Text("product", id.product);
    id.bed_width = options.Get("bed_width", id.bed_width);
    id.bed_height = options.Get("bed_height", id.bed_height);
    id.feeder_max_length = options.Get("feeder_max_length", id.feeder_max_length);
    id.flatbed_max_length = options.Get("flatbed_max_length", id.flatbed_max_length);
    id.supported_resolutions = static_cast<uint16_t>(options.Get("resolutions", id.supported_resolutions));
    id.image_composition = static_cast<uint8_t>(options.Get("composition", id.image_composition));
    id.rgb_order = static_cast<uint16_t>(options.Get("rgb_order", id.rgb_order));
    id.doc_status = static_cast<uint8_t>(options.Get("doc_status", id.doc_status));
    Script(options, &script);
  }

  static void Script(const Options& options, scansim::Script* script) {
    script->busy_reserves = options.Get("busy_reserves", script->busy_reserves);
    if (options.values.count("busy_answer") != 0) {
      script->busy_answer = options.Text("busy_answer", "") == "resource" ? scansim::BusyAnswer::kResourceBusy
                                                                          : scansim::BusyAnswer::kStatusBusy;
    }
    script->warming_up_reserves = options.Get("warming_up_reserves", script->warming_up_reserves);
    script->warmup_time = static_cast<uint16_t>(options.Get("warmup_time", script->warmup_time));
    script->failed_inquiries = options.Get("failed_inquiries", script->failed_inquiries);
    script->jam_sheet = options.Get("jam_sheet", script->jam_sheet);
    if (options.values.count("jam_mode") != 0) {
      script->jam_mode =
          options.Text("jam_mode", "") == "midpage" ? scansim::JamMode::kMidPage : scansim::JamMode::kOnFeed;
    }
    script->jam_after_blocks = options.Get("jam_after_blocks", script->jam_after_blocks);
  }

  // "value NAME TYPE DATA": dword (a number), sz (the text, terminated), binary (hex bytes), none.
  void WriteValue(const std::string& line) {
    const std::vector<std::string> words = Words(line);
    const std::string& name = words[1];
    const std::string type = words.size() > 2 ? words[2] : "none";
    if (type == "dword") {
      key_->SetDword(name.c_str(), Number(words.at(3)));
    } else if (type == "sz") {
      const std::string text = words.size() > 3 ? words[3] : "";
      std::vector<BYTE> data(text.begin(), text.end());
      data.push_back(0);
      key_->SetValue(name.c_str(), REG_SZ, data);
    } else if (type == "binary") {
      key_->SetBinary(name.c_str(), HexBytes(words, 3));
    } else if (type == "typed") {
      key_->SetValue(name.c_str(), Number(words.at(3)), HexBytes(words, 4));
    } else if (type == "none") {
      key_->DeleteValue(name.c_str());
    } else {
      ADD_FAILURE() << "unknown value type in !" << line;
    }
  }

  void Result(HRESULT hr, const std::string& details = "") {
    Record::Current().Note("= " + ResultName(hr) + (details.empty() ? "" : " " + details));
  }

  // An output buffer of `size` bytes filled with kFill, or none.
  struct Buffer {
    std::vector<uint8_t> bytes;
    bool null = false;
    void* data() { return null ? nullptr : bytes.data(); }
    // Bytes past `used` that the call changed.
    std::string Overrun(size_t used) const {
      size_t changed = 0;
      for (size_t i = used; i < bytes.size(); ++i) {
        changed += bytes[i] != kFill ? 1 : 0;
      }
      return changed == 0 ? "" : " wrote " + std::to_string(changed) + " bytes past " + std::to_string(used);
    }
    bool Touched() const {
      return std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b != kFill; });
    }
  };

  static Buffer MakeBuffer(const Options& options, size_t size) {
    Buffer buffer;
    buffer.null = options.Has("null");
    buffer.bytes.assign(options.Get("buf", static_cast<uint32_t>(size)), kFill);
    return buffer;
  }

  std::string DeviceInfo(const Buffer& buffer) {
    if (buffer.null || buffer.bytes.size() < sizeof(SCAN_DEVICE_INFO) || !buffer.Touched()) {
      return buffer.Overrun(0);
    }
    SCAN_DEVICE_INFO info;
    std::memcpy(&info, buffer.bytes.data(), sizeof(info));
    auto list = [](LONG count, const LONG* values) {
      std::string text = "[";
      for (LONG i = 0; values != nullptr && i < count && i < 64; ++i) {
        text += (i == 0 ? "" : ",") + std::to_string(values[i]);
      }
      return text + (values == nullptr ? "null]" : "]");
    };
    std::string firmware;
    for (WCHAR c : info.wszFirmwareVersion) {
      if (c == 0) {
        break;
      }
      firmware += static_cast<char>(c < 0x80 ? c : '?');
    }
    std::ostringstream text;
    text << "vendor \"" << Escaped(std::string(info.szVendorID, strnlen(info.szVendorID, sizeof(info.szVendorID))))
         << "\" product \""
         << Escaped(std::string(info.szProductID, strnlen(info.szProductID, sizeof(info.szProductID)))) << "\" x "
         << list(info.nX_Resolutions, info.pX_Resolutions) << " y " << list(info.nY_Resolutions, info.pY_Resolutions)
         << " type " << info.dwScannerType << " compression " << info.dwCompressionType << " composition "
         << info.dwImageComposition << " feeder " << info.dwDocFeederStatus << " bed " << info.dwScanBedWidth << "x"
         << info.dwScanBedHeight << " feeder-size " << info.dwDocFeederWidth << "x" << info.dwDocFeederHeight << " rgb "
         << info.dwRGBOrder << " max-time " << info.dwMaxScanTime << " firmware \"" << Escaped(firmware) << "\""
         << buffer.Overrun(sizeof(info));
    return text.str();
  }

  void Escape(DWORD code, const Options& options, size_t outSize, void* in = nullptr, DWORD inSize = 0) {
    Buffer out = MakeBuffer(options, outSize);
    const DWORD outDataSize = options.Get("out", static_cast<DWORD>(out.bytes.size()));
    DWORD actual = 0xFFFFFFFF;
    DWORD* actualPointer = options.Has("actual") || code == ESC_READ_IMAGE ? &actual : nullptr;
    if (options.Has("noactual")) {
      actualPointer = nullptr;
    }
    const HRESULT hr = harness::TheLibrary().STIEscape(code, in, inSize, out.data(), outDataSize, actualPointer);
    std::string details;
    auto add = [&details](const std::string& text) {
      if (!text.empty()) {
        details += (details.empty() || text[0] == ' ' ? "" : " ") + text;
      }
    };
    if (actualPointer != nullptr) {
      add("actual " + (actual == 0xFFFFFFFF ? std::string("untouched") : std::to_string(actual)));
    }
    if (code == GET_DEVICE_INFO) {
      add(DeviceInfo(out));
    } else if (code == ESC_READ && out.Touched()) {
      const size_t shown = std::min(out.bytes.size(), sizeof(READ_RESPONSE));
      add("out " + Hex(out.bytes.data(), shown) + out.Overrun(shown));
      READ_RESPONSE response;
      std::memcpy(&response, out.bytes.data(), shown);
      announced_ = shown == sizeof(response) ? response.dwDataSize : 0;
    } else if (code == ESC_READ_IMAGE && out.Touched()) {
      const size_t used = actual != 0xFFFFFFFF ? std::min<size_t>(actual, out.bytes.size()) : out.bytes.size();
      add("data " + Bytes(out.bytes.data(), used) + out.Overrun(used));
    } else if (!out.null && out.Touched()) {
      add("out " + Bytes(out.bytes.data(), out.bytes.size()));
    }
    Result(hr, details);
  }

  void SetWindow(const Options& options) {
    SWP_PARAMETER window;
    std::memset(&window, 0, sizeof(window));
    window.dwWindowWidth = options.Get("width", 64);
    window.dwWindowHeight = options.Get("height", 40);
    window.byResolutionCode = static_cast<BYTE>(options.Get("res", 5));
    const std::string type = options.Text("type", "grey");
    window.byParameters[0] = static_cast<BYTE>(type == "colour" ? scansim::ImageType::kColour
                                               : type == "bw"   ? scansim::ImageType::kBlackWhite
                                                                : scansim::ImageType::kGrey);
    const std::string source = options.Text("source", "flatbed");
    window.byScanSource = static_cast<BYTE>(source == "flatbed"  ? scansim::kSourceFlatbed
                                            : source == "feeder" ? scansim::kSourceFeederFront
                                            : source == "duplex" ? scansim::kSourceFeederDuplex
                                                                 : Number(source));
    const DWORD inSize = options.Get("in", sizeof(window));
    Escape(ESC_SET_WINDOW_PARAMETER, options, 0, options.Has("nullin") ? nullptr : &window, inSize);
  }

  // ESC_READ, then ESC_READ_IMAGE of the block it announced, until the page ends or a call fails.
  void Page() {
    const harness::Library& lib = harness::TheLibrary();
    for (int guard = 0; guard < 1000; ++guard) {
      Record::Current().Note(">> ESC_READ");
      READ_RESPONSE response;
      std::memset(&response, kFill, sizeof(response));
      const HRESULT read = lib.STIEscape(ESC_READ, nullptr, 0, &response, sizeof(response), nullptr);
      Result(read, "out " + Hex(reinterpret_cast<const uint8_t*>(&response), sizeof(response)));
      if (read != S_OK && read != PAGE_END) {
        return;
      }
      Record::Current().Note(">> ESC_READ_IMAGE");
      const DWORD size = response.dwDataSize > IMAGE_TRAILER_SIZE ? response.dwDataSize - IMAGE_TRAILER_SIZE : 1;
      std::vector<uint8_t> block(size, kFill);
      DWORD actual = 0xFFFFFFFF;
      const HRESULT image = lib.STIEscape(ESC_READ_IMAGE, nullptr, 0, block.data(), size, &actual);
      Result(image, "actual " + std::to_string(actual) + " data " +
                        Bytes(block.data(), std::min<size_t>(actual, block.size())));
      if (image != S_OK || read == PAGE_END) {
        return;
      }
    }
    ADD_FAILURE() << "the page never ended";
  }

  void Fault(const std::vector<std::string>& words) {
    // "fault write|read KIND [ARG...]": the next exchange's write or read.
    const scansim::Phase phase = words.at(1) == "write" ? scansim::Phase::kWrite : scansim::Phase::kRead;
    const std::string& kind = words.at(2);
    scansim::Fault fault;
    if (kind == "fail") {
      fault = scansim::Fault::FailFullCount();
    } else if (kind == "failzero") {
      fault = scansim::Fault::FailZeroCount();
    } else if (kind == "short") {
      fault = scansim::Fault::ShortCount(Number(words.at(3)));
    } else if (kind == "start") {
      fault = scansim::Fault::CorruptStartCode(static_cast<uint8_t>(Number(words.at(3))));
    } else if (kind == "status") {
      fault = scansim::Fault::ReplaceStatus(static_cast<uint8_t>(Number(words.at(3))),
                                            static_cast<uint16_t>(words.size() > 4 ? Number(words[4]) : 0));
    } else if (kind == "patch") {
      // "fault read patch OFFSET XX XX ...": the next answer's bytes from OFFSET on.
      const std::vector<uint8_t> bytes = HexBytes(words, 4);
      for (size_t i = 0; i < bytes.size(); ++i) {
        tap_->PatchNextRead(Number(words.at(3)) + static_cast<uint32_t>(i), bytes[i]);
      }
      return;
    } else {
      ADD_FAILURE() << "unknown fault " << kind;
    }
    faults_->AtExchange(faults_->Exchanges() + 1, phase, fault);
  }

  // One step of a scenario: its line, the line's words, and the words' options.
  struct Call {
    const std::string& text;
    const std::vector<std::string>& words;
    const Options& options;
  };
  struct Action {
    std::string_view name;  // the line's first word
    void (*run)(Impl& self, const Call& call);
  };

  static const harness::Library& Lib() { return harness::TheLibrary(); }

  // Every step a scenario can take, by its first word.
  static std::span<const Action> Actions() {
    static constexpr Action kActions[] = {
        {"InitializeDll",
         [](Impl& self, const Call& c) {
           self.Result(Lib().InitializeDll(c.words.size() > 1 ? Number(c.words[1]) : 1));
         }},
        {"TerminateDll", [](Impl& self, const Call&) { self.Result(Lib().TerminateDll()); }},
        {"DeleteMemory", [](Impl& self, const Call&) { self.Result(Lib().DeleteMemory()); }},
        {"DeviceReset", [](Impl& self, const Call&) { self.Result(Lib().DeviceReset()); }},
        {"LockDevice", [](Impl& self, const Call&) { self.Result(Lib().LockDevice()); }},
        {"UnLockDevice", [](Impl& self, const Call&) { self.Result(Lib().UnLockDevice()); }},
        {"RawReadCommand",
         [](Impl& self, const Call&) {
           BYTE buffer[8] = {};
           DWORD count = sizeof(buffer);
           self.Result(Lib().RawReadCommand(buffer, &count, nullptr));
         }},
        {"RawWriteCommand",
         [](Impl& self, const Call&) {
           BYTE buffer[8] = {};
           self.Result(Lib().RawWriteCommand(buffer, sizeof(buffer), nullptr));
         }},
        {"Initialize", &Impl::StepInitialize},
        {"GetCapabilities", &Impl::StepGetCapabilities},
        {"GetStatus", &Impl::StepGetStatus},
        {"Diagnostic", &Impl::StepDiagnostic},
        {"STIGetLastError",
         [](Impl& self, const Call& c) {
           DWORD error = 0xCDCDCDCD;
           const HRESULT hr = Lib().STIGetLastError(c.options.Has("null") ? nullptr : &error);
           self.Result(hr, "error " + Hex32(error));
         }},
        {"GetLastErrorInfo", &Impl::StepGetLastErrorInfo},
        {"RawReadData", &Impl::StepRawReadData},
        {"RawWriteData",
         [](Impl& self, const Call& c) {
           std::vector<uint8_t> bytes = HexBytes(c.words, 1);
           self.Result(
               Lib().RawWriteData(bytes.empty() ? nullptr : bytes.data(), static_cast<DWORD>(bytes.size()), nullptr));
         }},
        {"SetNotificationHandle",
         [](Impl& self, const Call& c) {
           const std::string which = c.words.size() > 1 ? c.words[1] : "event";
           const HANDLE handle = which == "null" ? nullptr : which == "invalid" ? INVALID_HANDLE_VALUE : self.event_;
           self.Result(Lib().SetNotificationHandle(handle));
         }},
        {"GetNotificationData", &Impl::StepGetNotificationData},
        {"STIEscape", [](Impl& self, const Call& c) { self.Escape(Number(c.words.at(1)), Options(c.words, 2), 0); }},
        {"escape", [](Impl& self, const Call& c) { self.Escape(Number(c.words.at(1)), Options(c.words, 2), 0); }},
        {"GET_DEVICE_INFO",
         [](Impl& self, const Call& c) { self.Escape(GET_DEVICE_INFO, c.options, sizeof(SCAN_DEVICE_INFO)); }},
        {"ESC_RESERVE_UNIT", [](Impl& self, const Call& c) { self.Escape(ESC_RESERVE_UNIT, c.options, 0); }},
        {"ESC_SET_WINDOW_PARAMETER", [](Impl& self, const Call& c) { self.SetWindow(c.options); }},
        {"ESC_OBJECT_POSITION", [](Impl& self, const Call& c) { self.Escape(ESC_OBJECT_POSITION, c.options, 0); }},
        {"ESC_READ", [](Impl& self, const Call& c) { self.Escape(ESC_READ, c.options, sizeof(READ_RESPONSE)); }},
        {"ESC_READ_IMAGE",
         [](Impl& self, const Call& c) {
           const DWORD announced = self.announced_;
           self.Escape(ESC_READ_IMAGE, c.options, announced > IMAGE_TRAILER_SIZE ? announced - IMAGE_TRAILER_SIZE : 1);
         }},
        {"ESC_ABORT", [](Impl& self, const Call& c) { self.Escape(ESC_ABORT, c.options, 0); }},
        {"ESC_RELEASE_UNIT", [](Impl& self, const Call& c) { self.Escape(ESC_RELEASE_UNIT, c.options, 0); }},
        {"page", [](Impl& self, const Call&) { self.Page(); }},
        {"device",
         [](Impl& self, const Call& c) {
           // "device vid=N pid=N": another scanner behind \\.\Usbscan0, reporting those ids.
           harness::PlugScanner(self.tap_.get(), static_cast<WORD>(c.options.Get("vid", kVid)),
                                static_cast<WORD>(c.options.Get("pid", kPid)));
         }},
        {"value", [](Impl& self, const Call& c) { self.WriteValue(c.text); }},
        {"fault", [](Impl& self, const Call& c) { self.Fault(c.words); }},
        {"scanner",
         [](Impl& self, const Call& c) {
           self.Script(c.options, &self.scanner_->script());
           if (c.options.values.count("load_feeder") != 0) {
             self.scanner_->LoadFeeder(c.options.Get("load_feeder", 0));
           }
         }},
        {"port", &Impl::StepPort},
    };
    // A scenario can call every export.
    constexpr auto named = [](std::string_view name) {
      return std::any_of(std::begin(kActions), std::end(kActions),
                         [name](const Action& action) { return action.name == name; });
    };
#define TRANSCRIPT_EXPORT_STEP(name) static_assert(named(#name), "no step calls " #name);
    WIASTIIO_EXPORT_NAMES(TRANSCRIPT_EXPORT_STEP)
#undef TRANSCRIPT_EXPORT_STEP
    return kActions;
  }

  void Run(const std::string& text) {
    const std::vector<std::string> words = Words(text);
    const std::string& what = words.at(0);
    const Options options(words);
    for (const Action& action : Actions()) {
      if (action.name == what) {
        action.run(*this, Call{text, words, options});
        return;
      }
    }
    ADD_FAILURE() << "unknown step > " << text;
  }

  static void StepInitialize(Impl& self, const Call& c) {
    harness::DeviceControl control(c.options.Has("openmode-fails") ? E_FAIL : S_OK);
    const HRESULT hr = Lib().Initialize(c.options.Has("null") ? nullptr : &control, 2, self.key_->Parameters());
    self.Result(hr, "open-mode asked " + std::to_string(control.openModeCalls));
  }

  static void StepGetCapabilities(Impl& self, const Call& c) {
    STI_USD_CAPS caps = {0xCDCDCDCD, 0xCDCDCDCD};
    const HRESULT hr = Lib().GetCapabilities(c.options.Has("null") ? nullptr : &caps);
    self.Result(hr, "version " + Hex32(caps.dwVersion) + " caps " + Hex32(caps.dwGenericCaps));
  }

  static void StepGetStatus(Impl& self, const Call& c) {
    STI_DEVICE_STATUS status;
    std::memset(&status, kFill, sizeof(status));
    status.dwSize = sizeof(status);
    status.StatusMask = c.options.Get("mask", STI_DEVSTATUS_ONLINE_STATE);
    const HRESULT hr = Lib().GetStatus(c.options.Has("null") ? nullptr : &status);
    self.Result(hr, "online " + Hex32(status.dwOnlineState) + " hardware " + Hex32(status.dwHardwareStatusCode) +
                        " events " + Hex32(status.dwEventHandlingState));
  }

  static void StepDiagnostic(Impl& self, const Call& c) {
    STI_DIAG diag;
    std::memset(&diag, kFill, sizeof(diag));
    diag.dwSize = sizeof(diag);
    const HRESULT hr = Lib().Diagnostic(c.options.Has("null") ? nullptr : &diag);
    self.Result(hr, "basic " + Hex32(diag.dwBasicDiagCode) + " vendor " + Hex32(diag.dwVendorDiagCode));
  }

  static void StepGetLastErrorInfo(Impl& self, const Call& c) {
    STI_ERROR_INFO info;
    std::memset(&info, kFill, sizeof(info));
    const HRESULT hr = Lib().GetLastErrorInfo(c.options.Has("null") ? nullptr : &info);
    std::string text;
    for (size_t i = 0; i < 255 && info.szExtendedErrorText[i] != 0 && hr == S_OK; ++i) {
      const WCHAR ch = info.szExtendedErrorText[i];
      text += static_cast<char>(ch < 0x80 ? ch : '?');
    }
    // The text field past the terminator is the caller's: shown only when the library wrote there.
    const uint8_t* tail = reinterpret_cast<const uint8_t*>(info.szExtendedErrorText + text.size() + 1);
    const uint8_t* end = reinterpret_cast<const uint8_t*>(std::end(info.szExtendedErrorText));
    const bool written = hr == S_OK && std::any_of(tail, end, [](uint8_t b) { return b != kFill; });
    self.Result(hr, "vendor " + Hex32(info.dwVendorError) + " text \"" + Escaped(text) + "\"" +
                        (written ? " written past the text" : ""));
  }

  static void StepRawReadData(Impl& self, const Call& c) {
    Buffer buffer = MakeBuffer(c.options, c.options.Get("count", 32));
    DWORD count = static_cast<DWORD>(buffer.bytes.size());
    const HRESULT hr = Lib().RawReadData(buffer.data(), c.options.Has("nocount") ? nullptr : &count, nullptr);
    self.Result(hr, "count " + std::to_string(count) +
                        (buffer.Touched() ? " data " + Bytes(buffer.bytes.data(), buffer.bytes.size()) : ""));
  }

  static void StepGetNotificationData(Impl& self, const Call& c) {
    STINOTIFY notify;
    std::memset(&notify, kFill, sizeof(notify));
    const HRESULT hr = Lib().GetNotificationData(c.options.Has("null") ? nullptr : &notify);
    self.Result(hr, hr == S_OK ? "size " + std::to_string(notify.dwSize) + " code " +
                                     Hex(reinterpret_cast<const uint8_t*>(&notify.guidNotificationCode), 16)
                               : "");
  }

  // "port grant|refuse [release=0|1] [open=0|1] [close=0|1] [missing] [module=monitor]": how the route's
  // module (or the device monitor, whatever the route) answers, or that it is gone from the installation.
  static void StepPort(Impl& self, const Call& c) {
    const Options& options = c.options;
    doubles::ContentionDouble& module =
        options.Text("module", "") == "monitor" ? harness::DeviceMonitor() : self.Contention();
    if (options.Has("grant") || options.Has("refuse")) {
      module.SetAcquireAnswer(options.Has("grant"));
    }
    using Answer = void (doubles::ContentionDouble::*)(bool);
    for (const auto& [name, answer] :
         {std::pair<const char*, Answer>{"release", &doubles::ContentionDouble::SetReleaseAnswer},
          {"open", &doubles::ContentionDouble::SetOpenAnswer},
          {"close", &doubles::ContentionDouble::SetCloseAnswer}}) {
      if (options.values.count(name) != 0) {
        (module.*answer)(options.Get(name, 1) != 0);
      }
    }
    if (options.Has("missing")) {
      harness::RemoveContentionModule(&module == &harness::DeviceMonitor() ? "prtmon64.dll" : "portarb.dll");
    }
  }

  doubles::ContentionDouble& Contention() {
    return direct_ ? harness::PortArbitration() : harness::DeviceMonitor();
  }

  const Scenario& scenario_;
  bool finished_ = false;
  bool direct_ = false;
  WORD deviceVid_ = kVid;  // the ids the device object at \\.\Usbscan0 reports
  WORD devicePid_ = kPid;
  std::unique_ptr<scansim::ScannerModel> scanner_;
  std::unique_ptr<scansim::FaultyPort> faults_;
  std::unique_ptr<Tap> tap_;
  std::unique_ptr<harness::DeviceKey> key_;
  HANDLE event_ = nullptr;
  DWORD announced_ = 0;
};

void Write(const std::string& path, const Scenario& scenario, const std::vector<std::vector<std::string>>& perStep) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  for (const std::string& line : scenario.header) {
    file << line << "\n";
  }
  for (size_t i = 0; i < scenario.steps.size() && i < perStep.size(); ++i) {
    for (const std::string& comment : scenario.steps[i].comments) {
      file << comment << "\n";
    }
    for (const std::string& line : perStep[i]) {
      file << line << "\n";
    }
  }
  ADD_FAILURE() << "written anew: " << path;
}

Player::Player(const Scenario& scenario) : impl_(std::make_unique<Impl>(scenario)) {}
Player::~Player() = default;
bool Player::Setup(std::string* why) {
  return impl_->Setup(why);
}
std::vector<std::string> Player::Play(std::vector<std::vector<std::string>>* perStep) {
  return impl_->Play(perStep);
}
scansim::FaultyPort& Player::Faults() {
  return impl_->Faults();
}
void Player::Finish() {
  impl_->Finish();
}

bool Rerecording() {
  const char* value = std::getenv("WIASTIIO_RERECORD");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

void ExpectLines(const std::string& name, const std::vector<std::string>& header,
                 const std::vector<std::string>& lines) {
  const std::string path = PathOf(name);
  Scenario file;  // no "!" lines: every line but the comments is expected
  Load(path, &file);
  if (file.expected == lines) {
    return;
  }
  if (Rerecording()) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& text : header) {
      out << "# " << text << "\n";
    }
    for (const std::string& text : lines) {
      out << text << "\n";
    }
    ADD_FAILURE() << "written anew: " << path;
    return;
  }
  ADD_FAILURE() << path << " differs (- the file, + now; WIASTIIO_RERECORD=1 writes it anew):\n"
                << Difference(file.expected, file.expectedLineNumbers, lines);
}

}  // namespace transcript
