// What every fuzz target shares: a private home for the files the targets write, the
// process-wide objects the units expect, and splitting of one input into several texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Sets up once per process: a QCoreApplication, HOME and the XDG folders below a fresh
// temporary folder, Utils and Globals with their paths.
void Init();

// A folder below the private home, created on first use.
std::string Folder(const std::string &name);

// Writes bytes to path (replacing it); aborts when it cannot, since the target would then
// test nothing.
void WriteFile(const std::string &path, const std::string &bytes);

// The input as text.
std::string Text(const uint8_t *data, size_t size);

// The input cut at every NUL byte into at least count pieces (missing ones are empty), so
// one input can carry several independent texts.
std::vector<std::string> Pieces(const uint8_t *data, size_t size, size_t count);

} // namespace fuzz
