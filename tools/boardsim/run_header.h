// The head of the report: what the run was made of. The scenario, the --variables file and
// every image file the run loads, each with its size and SHA-256, so that a report names the
// very bytes it is about (compare with `sha256sum build/uefi/images/*`).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace boardsim {

// The SHA-256 of Bytes, as 64 lowercase hexadecimal digits.
std::string Sha256Hex(const std::vector<uint8_t> &Bytes);

struct RunInputs {
  std::string Scenario;            // the file as given, "" for the built-in one
  std::string VariablesFile;       // as given, "" for none
  std::string VariablesState;      // "loaded (...)" or "not there yet: ..."
  std::vector<std::string> Images; // paths of the image files the run loads, in load order
};

// Prints the lines of the head and returns them as JSON ({"scenario", "variables_file",
// "images": [{"file", "size", "sha256"}]}). Images are named by their file name alone, so the
// report does not change with the folder the images were built in.
nlohmann::json PrintRunInputs(std::ostream &Out, const RunInputs &Inputs);

} // namespace boardsim
