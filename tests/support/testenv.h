// Shared helpers for tests: private XDG folders, scratch folders, small file helpers.
#pragma once

#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "common/platform/opener.h"

namespace testenv {

// Points HOME and the XDG variables at folders below root (created 0700).
void UsePrivateHome(const QString &root);

// A fresh, empty folder below the private home; removed with the process's home.
std::string MakeScratchDir(const std::string &hint = "scratch");

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);

// Path of a program built into the program folder (build/bin).
std::string ProgramPath(const std::string &name);

// Permission bits of a file or folder (0 when it does not exist).
unsigned FileMode(const std::string &path);

// Polls done() every 20 ms (without running events) until it holds or ms have passed.
bool WaitUntil(const std::function<bool()> &done, int ms = 10000);

// Value of a fixture variable written by tests/fixtures/start.sh ("" when absent).
std::string FixtureValue(const char *name);

// True when the real servers of the fixtures are running; when they are not and
// CORVEX_REQUIRE_FIXTURES is set, the calling test fails instead of skipping.
bool FixturesAvailable();

// Makes a mail program named "Record Mail" the desktop's default one (in the private XDG
// folders); it writes the file it is handed into the file whose path is returned.
std::string InstallRecordingMailProgram();

// An opener that records what the program opens (links, files, the guide) instead of opening it.
struct TRecordingOpener : platform::TOpener
{
    std::vector<std::string> Opened;
    bool Open(const std::string &target) override
    {
        Opened.push_back(target);
        return true;
    }
};

} // namespace testenv

// Skips an integration test when no fixture servers run (fails when they are required).
#define REQUIRE_FIXTURES()                                                                         \
    do {                                                                                           \
        if (!testenv::FixturesAvailable()) {                                                       \
            if (!qEnvironmentVariableIsEmpty("CORVEX_REQUIRE_FIXTURES"))                           \
                FAIL() << "fixture servers are required but not running";                          \
            GTEST_SKIP() << "fixture servers not running (tools/test.sh starts them)";             \
        }                                                                                          \
    } while (0)
