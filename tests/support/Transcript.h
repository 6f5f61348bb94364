// Golden transcripts: scenario files under tests/transcripts, a player that runs one through the
// exports and records what happens, and the comparison of a record with its file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "doubles/FaultyPort.h"

namespace transcript {

struct Step {
  std::vector<std::string> comments;  // the comment lines just above the step
  std::string text;                   // without the "> "
};

struct Scenario {
  std::vector<std::string> header;  // comments and setup, as written
  std::vector<std::string> setup;   // the "!" lines without the "!"
  std::vector<Step> steps;
  std::vector<std::string> expected;     // every line from the first step on, comments left out
  std::vector<int> expectedLineNumbers;  // where each of them stands in the file
};

// tests/transcripts/<name> in the source tree (under Wine through drive Z:).
std::string PathOf(const std::string& name);
// The variants a file declares with "!variant" lines; Load plays one of them (none without).
std::vector<std::string> Variants(const std::string& path);
bool Load(const std::string& path, Scenario* scenario, const std::string& variant = "");
// Writes the scenario's header and steps with what each step did now.
void Write(const std::string& path, const Scenario& scenario, const std::vector<std::vector<std::string>>& perStep);
// WIASTIIO_RERECORD=1: the files are written anew instead of compared.
bool Rerecording();

// The lines that differ, "-" from the file (with its line number), "+" now, with some context.
std::string Difference(const std::vector<std::string>& want, const std::vector<int>& numbers,
                       const std::vector<std::string>& got);

// Compares `lines` with the data file tests/transcripts/<name> ('#' lines are comments); a mismatch
// fails with the difference, or rewrites the file (with `header` as its comments) when rerecording.
void ExpectLines(const std::string& name, const std::vector<std::string>& header,
                 const std::vector<std::string>& lines);

// Plays one scenario through the exports of the library and records what happens.
class Player {
 public:
  explicit Player(const Scenario& scenario);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Sets the scenario up: scanner, cable, routes, registry. False with the reason when this build
  // cannot.
  bool Setup(std::string* why);
  // Every step in turn; all lines, and the lines of each step in `perStep`.
  std::vector<std::string> Play(std::vector<std::vector<std::string>>* perStep);
  // The cable between the routes and the scanner, to spoil calls on.
  scansim::FaultyPort& Faults();
  // TerminateDll and everything put back (also done on destruction).
  void Finish();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace transcript
